# kestrova_add_message_table_module(name mcFile): compiles the message file
# with the MinGW message compiler and links its table into <bin>/<name>.dll.
function(kestrova_add_message_table_module name mc_file)
  set(out ${CMAKE_CURRENT_BINARY_DIR}/${name})
  get_filename_component(mc_base ${mc_file} NAME_WE)
  add_custom_command(
    OUTPUT ${out}/${mc_base}.rc ${out}/${mc_base}.h
    COMMAND ${CMAKE_COMMAND} -E make_directory ${out}
    COMMAND ${CMAKE_MC_COMPILER} -U -h ${out} -r ${out} ${mc_file}
    DEPENDS ${mc_file}
    COMMENT "Compiling message table ${mc_base}.mc"
    VERBATIM)
  add_library(${name} SHARED ${out}/${mc_base}.rc)
  set_target_properties(${name} PROPERTIES PREFIX "" OUTPUT_NAME ${name} LINKER_LANGUAGE C)
  # Resource only: no C runtime, no startup code, no entry point.
  target_link_options(${name} PRIVATE -nostdlib -nostartfiles -Wl,--entry=0)
  set_source_files_properties(${out}/${mc_base}.rc PROPERTIES INCLUDE_DIRECTORIES ${out})
endfunction()
