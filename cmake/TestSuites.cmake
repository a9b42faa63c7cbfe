# Registers a GoogleTest program with ctest one test suite at a time: a test
# named PREFIX.Suite that runs the program with --gtest_filter=Suite.*.
# Every test process loads libtorch before its first test, which takes longer
# than most tests do, so the tests of a suite share one process. A test whose
# Suite.Test name matches the ALONE regular expression runs in a process of
# its own, as the test PREFIX.Suite.Test. The suites are listed from the
# program after each build, as gtest_discover_tests lists tests; a suite's
# output names each test that failed. COST, when given, is each entry's ctest
# COST: ctest starts the costliest tests first, by the times it measured
# when it has run them, by COST before (in a fresh build folder, as in CI).
set(TWEENOVA_LIST_SUITES_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/ListTestSuites.cmake")

function(tweenova_add_test_suites target prefix)
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "ALONE;COST" "")
  set(suites_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_suites.cmake")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND "${CMAKE_COMMAND}" -D "PROGRAM=$<TARGET_FILE:${target}>" -D "PREFIX=${prefix}" -D "ALONE=${arg_ALONE}" -D "COST=${arg_COST}"
            -D "BUILD_DIR=${CMAKE_BINARY_DIR}" -D "SOURCE_DIR=${CMAKE_SOURCE_DIR}" -D "OUTPUT=${suites_file}"
            -P "${TWEENOVA_LIST_SUITES_SCRIPT}"
    BYPRODUCTS "${suites_file}"
    VERBATIM)
  set(include_file "${CMAKE_CURRENT_BINARY_DIR}/${target}_include.cmake")
  file(WRITE "${include_file}"
    "if(EXISTS \"${suites_file}\")\n"
    "  include(\"${suites_file}\")\n"
    "else()\n"
    "  add_test(${target}_NOT_BUILT ${target}_NOT_BUILT)\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${include_file}")
endfunction()
