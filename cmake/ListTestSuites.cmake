# Run after a test program is built (cmake -P): lists its tests and writes the
# ctest file that runs them, one process a suite, and one a test for the
# tests that ALONE matches. Takes PROGRAM, PREFIX, ALONE, COST (may be
# empty), BUILD_DIR, SOURCE_DIR and OUTPUT.
execute_process(COMMAND "${PROGRAM}" --gtest_list_tests
  WORKING_DIRECTORY "${BUILD_DIR}"
  OUTPUT_VARIABLE listing
  ERROR_VARIABLE errors
  RESULT_VARIABLE status
  TIMEOUT 60)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} --gtest_list_tests failed (${status}):\n${listing}${errors}")
endif()

set(environment "TWEENOVA_BUILD_DIR=${BUILD_DIR};TWEENOVA_SOURCE_DIR=${SOURCE_DIR}")
set(cost "")
if(NOT COST STREQUAL "")
  set(cost " COST ${COST}")
endif()
set(tests "")
function(add_program_test name filter)
  string(APPEND tests
    "add_test([==[${PREFIX}${name}]==] [==[${PROGRAM}]==] [==[--gtest_filter=${filter}]==])\n"
    "set_tests_properties([==[${PREFIX}${name}]==] PROPERTIES WORKING_DIRECTORY [==[${BUILD_DIR}]==]"
    " ENVIRONMENT [==[${environment}]==]${cost})\n")
  set(tests "${tests}" PARENT_SCOPE)
endfunction()
function(add_suite suite alone)
  if(NOT suite STREQUAL "")
    set(filter "${suite}.*")
    if(alone)
      list(JOIN alone ":" excluded)
      string(APPEND filter "-${excluded}")
    endif()
    add_program_test("${suite}" "${filter}")
    set(tests "${tests}" PARENT_SCOPE)
  endif()
endfunction()

# A suite's line is its name and a dot; its tests follow, indented, each
# maybe followed by a comment on its parameters.
string(REPLACE "\n" ";" lines "${listing}")
set(suite "")
set(alone "")
foreach(line IN LISTS lines)
  if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\.$")
    add_suite("${suite}" "${alone}")
    set(suite "${CMAKE_MATCH_1}")
    set(alone "")
  elseif(line MATCHES "^  ([A-Za-z_][A-Za-z0-9_]*)" AND NOT ALONE STREQUAL "")
    set(test "${suite}.${CMAKE_MATCH_1}")
    if(test MATCHES "^(${ALONE})$")
      list(APPEND alone "${test}")
      add_program_test("${test}" "${test}")
    endif()
  endif()
endforeach()
add_suite("${suite}" "${alone}")
if(tests STREQUAL "")
  message(FATAL_ERROR "${PROGRAM} lists no tests")
endif()
file(WRITE "${OUTPUT}" "${tests}")
