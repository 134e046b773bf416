# The release package: install rules for what a host and a rule author need,
# and CPack's ZIP generator on top of them. scripts/package.sh builds it;
# tests/package checks it. `cpack` in a build folder writes
# Kestrova-<version>-win64.zip, whose one top-level folder of the same name
# holds:
#
#   bin/               Kestrova.dll, CoreErrorMessages.dll (the message texts
#                      it loads from its own folder), DataLayer.dll,
#                      ComponentsLib.dll, kestrova-host.exe,
#                      kestrova-resolve.exe: stripped
#   symbols/           <binary>.debug for each binary with code: its debug
#                      information, named by the binary's .gnu_debuglink
#   include/Kestrova/  the public headers
#   docs/              docs/*.md
#   examples/          docs/examples: rule and source files, the host's demo
#   README.txt         what each folder is for
#   SHA256SUMS         sha256sum lines for every other file, relative paths
#
# `cmake --install BUILD --prefix EMPTY_FOLDER` lays out the same tree
# without the archive. The binaries link libgcc, libstdc++ and winpthread
# statically (see the toolchain file) and import Windows system DLLs and each
# other only, so bin/ runs as it is, from wherever it is unpacked.

set(KESTROVA_PACKAGE_NAME Kestrova-${PROJECT_VERSION}-win64)

# Binaries with code: stripped, their debug information split off.
set(KESTROVA_PACKAGE_CODE_TARGETS Kestrova DataLayer ComponentsLib KestrovaHost kestrova-resolve)
# Resource-only modules (no code, no debug information): stripped only.
set(KESTROVA_PACKAGE_RESOURCE_TARGETS CoreErrorMessages)

# What the package is made of, built by `cmake --build BUILD --target
# kestrova-package-files` (scripts/package.sh builds this, not everything).
add_custom_target(kestrova-package-files)
add_dependencies(kestrova-package-files ${KESTROVA_PACKAGE_CODE_TARGETS} ${KESTROVA_PACKAGE_RESOURCE_TARGETS})

# The version resources include headers configured with the project version
# (KestrovaVersion.h, DataLayerVersion.h), and windres reports no header
# dependencies: without these, a new KESTROVA_BUILD_NUMBER would leave the
# resources, and so the binaries' FileVersion, at the version of the first build.
foreach(versioned IN ITEMS "Kestrova;module/Kestrova.rc;KestrovaVersion.h"
                           "DataLayer;platform/DataLayer/Dll/DataLayer.rc;DataLayerVersion.h")
  list(GET versioned 0 target)
  list(GET versioned 1 rc)
  list(GET versioned 2 header)
  get_target_property(binary_dir ${target} BINARY_DIR)
  set_source_files_properties(${PROJECT_SOURCE_DIR}/${rc} TARGET_DIRECTORY ${target}
    PROPERTIES OBJECT_DEPENDS ${binary_dir}/${header})
endforeach()

# The DLLs and EXEs. Import libraries stay out of the package: hosts load
# Kestrova.dll by LoadLibraryW, and MinGW links against a DLL directly; they
# can be installed apart with --component KestrovaImportLibraries.
install(TARGETS ${KESTROVA_PACKAGE_CODE_TARGETS} ${KESTROVA_PACKAGE_RESOURCE_TARGETS}
  RUNTIME DESTINATION bin
  ARCHIVE DESTINATION lib COMPONENT KestrovaImportLibraries EXCLUDE_FROM_ALL)

# Stripping. Each binary is made again from the build tree's file, so an
# install into a folder that already holds the package gives the same
# result. For a binary with code, objcopy --only-keep-debug writes
# symbols/<name>.debug (section headers, COFF symbols and the DWARF
# sections), then --strip-all writes bin/<name> without DWARF and COFF
# symbols (the PE file's own tables, .reloc among them, stay) and with a
# .gnu_debuglink naming <name>.debug and holding its CRC-32. The link holds
# the file name only: debuggers look for it beside the binary, in its .debug
# folder or in their debug-file directory (gdb: set debug-file-directory).
# A resource-only module is stripped alone.
set(kestrova_split_list "")
foreach(target IN LISTS KESTROVA_PACKAGE_CODE_TARGETS)
  string(APPEND kestrova_split_list "$<TARGET_FILE:${target}>;")
endforeach()
set(kestrova_strip_list "")
foreach(target IN LISTS KESTROVA_PACKAGE_RESOURCE_TARGETS)
  string(APPEND kestrova_strip_list "$<TARGET_FILE:${target}>;")
endforeach()
install(CODE "set(KESTROVA_OBJCOPY [[${CMAKE_OBJCOPY}]])
set(KESTROVA_OBJDUMP [[${CMAKE_OBJDUMP}]])
set(KESTROVA_SPLIT_FILES [[${kestrova_split_list}]])
set(KESTROVA_STRIP_FILES [[${kestrova_strip_list}]])")
install(CODE [[
  # objcopy sets the PE header's TimeDateStamp, the link time, to the present
  # unless SOURCE_DATE_EPOCH gives one: each binary keeps its own, so that one
  # build always gives the same package binaries.
  function(kestrova_objcopy built)
    file(READ "${built}" header OFFSET 60 LIMIT 4 HEX)  # e_lfanew
    string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" header "${header}")
    math(EXPR stamp_offset "0x${header} + 8")  # after "PE\0\0", Machine and NumberOfSections
    file(READ "${built}" stamp OFFSET ${stamp_offset} LIMIT 4 HEX)
    string(REGEX REPLACE "^(..)(..)(..)(..)$" "\\4\\3\\2\\1" stamp "${stamp}")
    math(EXPR stamp "0x${stamp}")
    execute_process(COMMAND "${CMAKE_COMMAND}" -E env "SOURCE_DATE_EPOCH=${stamp}" "${KESTROVA_OBJCOPY}" ${ARGN}
                    COMMAND_ERROR_IS_FATAL ANY)
  endfunction()
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(MAKE_DIRECTORY "${root}/symbols")
  foreach(built IN LISTS KESTROVA_SPLIT_FILES)
    if(built STREQUAL "")
      continue()
    endif()
    get_filename_component(name "${built}" NAME)
    set(debug "${root}/symbols/${name}.debug")
    execute_process(COMMAND "${KESTROVA_OBJDUMP}" -h "${built}" OUTPUT_VARIABLE sections COMMAND_ERROR_IS_FATAL ANY)
    if(NOT sections MATCHES "\\.debug_info")
      message(FATAL_ERROR "${built} has no debug information: build it with -g "
                          "(CMAKE_BUILD_TYPE RelWithDebInfo, the default) to package it")
    endif()
    message(STATUS "Stripping: bin/${name}, its debug information to symbols/${name}.debug")
    kestrova_objcopy("${built}" --only-keep-debug "${built}" "${debug}")
    kestrova_objcopy("${built}" --strip-all "--add-gnu-debuglink=${debug}" "${built}" "${root}/bin/${name}")
  endforeach()
  foreach(built IN LISTS KESTROVA_STRIP_FILES)
    if(built STREQUAL "")
      continue()
    endif()
    get_filename_component(name "${built}" NAME)
    message(STATUS "Stripping: bin/${name}")
    kestrova_objcopy("${built}" --strip-all "${built}" "${root}/bin/${name}")
  endforeach()
]])

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/Kestrova DESTINATION include)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/ DESTINATION docs
  FILES_MATCHING PATTERN "*.md"
  PATTERN examples EXCLUDE)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/docs/examples/ DESTINATION examples)

# README.txt: CRLF line ends, as Windows text files have.
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt NEWLINE_STYLE CRLF @ONLY CONTENT [[
Kestrova @PROJECT_VERSION@ for 64-bit Windows
=============================================

Kestrova.dll is a component module of a usage-statistics subsystem: a host
process loads it and creates, through its one export
GetComponentsModuleObject, the snapshot maintainer and the items resolver.

bin\
  Kestrova.dll            the module
  CoreErrorMessages.dll   the texts of the module's own error codes; the
                          module and the tools load it from their own folder
  DataLayer.dll           the node store, which the module and hosts use
  ComponentsLib.dll       the reference host services: configuration server,
                          service client, usage-statistics service
  kestrova-host.exe       the reference host; with no argument it runs its
                          built-in demo (docs\ReferenceHost.md)
  kestrova-resolve.exe    runs, checks or tests activity rules on a source
                          file (docs\RuleAuthorGuide.md)
  Keep these files together: each program loads the module and the libraries
  from its own folder, and they need nothing else but Windows itself.
  Try it: bin\kestrova-host.exe
          bin\kestrova-resolve.exe examples\counters.rules.txt examples\users.source.txt
          bin\kestrova-resolve.exe --test examples\guide.tests.txt

symbols\
  The debug information of each binary of bin\, as <binary>.debug (DWARF,
  for gdb and other DWARF debuggers, not for WinDbg). Each binary names its
  file in its .gnu_debuglink section: copy the .debug files beside the
  binaries, or point the debugger at this folder
  (gdb: set debug-file-directory).

include\Kestrova\
  The headers a host needs: the component interfaces and ids
  (ComponentInterfaces.h, HostServices.h), the node store (DataLayer.h) and
  the reference host services (ComponentsLib.h). MinGW links against
  bin\DataLayer.dll and bin\ComponentsLib.dll directly.

docs\
  The formats and guides. They refer to the examples as docs/examples; in
  this package they are in examples\.

examples\
  Rule files and the source file of docs\RuleAuthorGuide.md, and their rule
  tests (guide.tests.txt, for kestrova-resolve --test); host\ holds the
  store, settings and change script of kestrova-host's demo, a start for
  runs of your own (--store, --settings, --changes), and the demo as a
  scenario test (demo.tests.txt, for kestrova-host --test).

SHA256SUMS
  The SHA-256 of every other file, in the format of sha256sum:
  sha256sum -c SHA256SUMS in this folder checks them (on Windows,
  certutil -hashfile FILE SHA256 or PowerShell's Get-FileHash shows one).
]])
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/package/README.txt DESTINATION .)

# SHA256SUMS, last of all the install rules (they run in the order they are
# given, subfolders' included, and this file is included at the end of the
# top-level CMakeLists.txt): every file under the install prefix, which for
# CPack is the package's own folder, in path order.
install(CODE [[
  set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
  file(GLOB_RECURSE files LIST_DIRECTORIES false RELATIVE "${root}" "${root}/*")
  list(REMOVE_ITEM files SHA256SUMS)
  list(SORT files)
  set(sums "")
  foreach(file IN LISTS files)
    file(SHA256 "${root}/${file}" sum)
    string(APPEND sums "${sum}  ${file}\n")
  endforeach()
  message(STATUS "Writing SHA256SUMS (${root})")
  file(WRITE "${root}/SHA256SUMS" "${sums}")
]])

set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME Kestrova)
set(CPACK_PACKAGE_VENDOR Kestrova)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME ${KESTROVA_PACKAGE_NAME})
# One top-level folder: unpacking puts nothing but it where it is unpacked.
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
# Kestrova-<version>-win64.zip.sha256 beside the archive.
set(CPACK_PACKAGE_CHECKSUM SHA256)
include(CPack)
