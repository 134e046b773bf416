# Native build of the node store: a static library with the same C interface,
# its tests (with ASan and UBSan unless turned off), the fuzz target and the
# benchmark.

option(DATALAYER_SANITIZE "Build the native node store and its tests with ASan and UBSan" ON)
option(DATALAYER_FUZZ "Build the libFuzzer target of the node text reader (clang)" OFF)
option(DATALAYER_BENCHMARK "Build the node text benchmark against pugixml" OFF)
option(DATALAYER_TESTS "Build the native node store tests" ON)

if(DATALAYER_SANITIZE)
  set(DATALAYER_SANITIZER_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
endif()

add_library(DataLayer STATIC ${DATALAYER_CORE_SOURCES})
if(DATALAYER_SANITIZE)
  target_compile_options(DataLayer PUBLIC ${DATALAYER_SANITIZER_FLAGS})
  target_link_options(DataLayer PUBLIC ${DATALAYER_SANITIZER_FLAGS})
endif()
find_package(Threads REQUIRED)
target_link_libraries(DataLayer PUBLIC Threads::Threads)

if(DATALAYER_TESTS)
  add_subdirectory(${PROJECT_SOURCE_DIR}/tests/platform/DataLayer ${CMAKE_BINARY_DIR}/tests/platform/DataLayer)
endif()

if(DATALAYER_FUZZ)
  # Coverage feedback from the library itself, not only from the target.
  target_compile_options(DataLayer PRIVATE -fsanitize=fuzzer-no-link)
  add_executable(NodeTextReaderFuzzer Fuzz/NodeTextReaderFuzzer.cpp)
  target_compile_options(NodeTextReaderFuzzer PRIVATE -fsanitize=fuzzer)
  target_link_options(NodeTextReaderFuzzer PRIVATE -fsanitize=fuzzer)
  target_link_libraries(NodeTextReaderFuzzer PRIVATE DataLayer)
endif()

if(DATALAYER_BENCHMARK)
  find_package(pugixml REQUIRED)
  add_executable(NodeTextBenchmark Benchmark/NodeTextBenchmark.cpp)
  target_link_libraries(NodeTextBenchmark PRIVATE DataLayer pugixml::pugixml)
endif()
