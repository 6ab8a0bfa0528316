# Helpers shared by every directory: tests, benchmarks and fuzz harnesses.
include_guard(GLOBAL)
include(GoogleTest)

# ombrel_add_test(NAME <name> SOURCES <files...> LIBS <libs...> [LABELS <labels...>] [LOCK <resource>])
# Builds a GoogleTest executable into bin/ and registers each TEST() with CTest.
# Discovery runs just before the tests (PRE_TEST), never at build time, so a
# cross or sanitizer build does not execute binaries while compiling.
function(ombrel_add_test)
  cmake_parse_arguments(ARG "" "NAME;LOCK" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "ombrel_add_test needs NAME and SOURCES")
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} GTest::gtest_main Threads::Threads)
  gtest_discover_tests(${ARG_NAME}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    WORKING_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}
    PROPERTIES TIMEOUT 300
    TEST_LIST ${ARG_NAME}_TESTS)
  if(ARG_LABELS OR ARG_LOCK)
    # gtest_discover_tests flattens a multi-label PROPERTIES value, so label
    # the discovered tests from a script CTest runs after the discovery one.
    # LOCK names a resource its tests never share with another test running
    # at the same time (CTest's RESOURCE_LOCK).
    set(_properties "")
    if(ARG_LABELS)
      string(APPEND _properties " LABELS \"${ARG_LABELS}\"")
    endif()
    if(ARG_LOCK)
      string(APPEND _properties " RESOURCE_LOCK ${ARG_LOCK}")
    endif()
    set(_script ${CMAKE_CURRENT_BINARY_DIR}/${ARG_NAME}_labels.cmake)
    file(WRITE ${_script}
      "if(${ARG_NAME}_TESTS)\n"
      "  set_tests_properties(\${${ARG_NAME}_TESTS} PROPERTIES${_properties})\n"
      "endif()\n")
    set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES ${_script})
  endif()
endfunction()

# ombrel_add_benchmark(NAME <name> SOURCES <files...> LIBS <libs...>)
function(ombrel_add_benchmark)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "ombrel_add_benchmark needs NAME and SOURCES")
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} benchmark::benchmark_main Threads::Threads)
endfunction()

# ombrel_add_fuzzer(NAME <fuzz_name> SOURCES <files...> LIBS <libs...>)
# The harness defines LLVMFuzzerTestOneInput; libFuzzer supplies main().
# Name harnesses fuzz_* so CI finds and runs them.
function(ombrel_add_fuzzer)
  cmake_parse_arguments(ARG "" "NAME" "SOURCES;LIBS" ${ARGN})
  if(NOT ARG_NAME OR NOT ARG_SOURCES)
    message(FATAL_ERROR "ombrel_add_fuzzer needs NAME and SOURCES")
  endif()
  add_executable(${ARG_NAME} ${ARG_SOURCES})
  target_compile_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${ARG_NAME} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${ARG_NAME} PRIVATE ${ARG_LIBS} Threads::Threads)
  if(TARGET fuzzers)
    add_dependencies(fuzzers ${ARG_NAME})
  endif()
endfunction()
