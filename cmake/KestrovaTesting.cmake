# GoogleTest from Debian's googletest sources, built by the cross toolchain.
set(KESTROVA_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${KESTROVA_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)

# Every Wine process of a build shares one prefix inside the build folder.
set(KESTROVA_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(KESTROVA_WINE_ENVIRONMENT
  "WINEPREFIX=${KESTROVA_WINE_PREFIX}"
  "WINEDEBUG=-all"
  "WINEDLLOVERRIDES=mscoree,mshtml=")

# One CTest entry per test executable: each entry is one process start under
# Wine, so a test binary runs all its cases in one go.
function(kestrova_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${name} COMMAND ${name} --gtest_brief=1)
  set_tests_properties(${name} PROPERTIES
    WORKING_DIRECTORY ${CMAKE_RUNTIME_OUTPUT_DIRECTORY}
    ENVIRONMENT "${KESTROVA_WINE_ENVIRONMENT}")
endfunction()
