# How a test program is built and registered with ctest, stated once for
# every build that runs tests: the catkin package (test/), the AArch64
# board build (test/cross/), the native tests of the AArch64 ROS programs
# (test/cross/ros/) and the kernel tests (test/kernel/). The build that includes
# this file only says what differs for it:
#   PELMORA_PROGRAM_DIR       where the build's programs are (tests find
#                             them with programPath, the stand-ins there too)
#   PELMORA_TEST_LIBRARIES    what every test links (support, GoogleTest, ROS)
#   PELMORA_TEST_MAIN         GoogleTest's main, for tests without their own
#   PELMORA_TEST_DEPENDS      targets every test is built after
#   PELMORA_TEST_ENVIRONMENT  extra NAME=value entries for the test's run
#   PELMORA_TEST_LAUNCHER     command every test runs under (env.sh, test/tools/kernelboard)
#   PELMORA_TEST_BOARD        command a BOARD test runs in (test/tools/simboard --bare --)
#   PELMORA_TEST_RUNNER       command that starts the test program itself
#                             (qemu-aarch64, test/cross/with-master)
#   PELMORA_TEST_ROSTEST      rostest, for tests that name a launch file;
#                             unset: the launch file is not used
#   PELMORA_TEST_TIMEOUT      default time limit in seconds
#   PELMORA_TEST_RUN_SERIAL   ON: every test runs alone
#   PELMORA_TEST_CATKIN       ON: catkin's conventions: test programs are
#                             built by `make tests`, not `all`, and each test
#                             writes a JUnit result that `make run_tests` and
#                             catkin_test_results read; ctest runs the same
#                             command as _ctest_<project>_<gtest|rostest>_<name>
# and calls pelmora_check_gtest once before the first test.

# The checkout, which tests know as PELMORA_SOURCE_DIR.
get_filename_component(PELMORA_CHECKOUT ${CMAKE_CURRENT_LIST_DIR}/../.. ABSOLUTE)
set(PELMORA_JUNIT ${CMAKE_CURRENT_LIST_DIR}/pelmora_junit.cmake)

# Tests written against GoogleTest 1.10 (GTEST_SKIP, SetUpTestSuite) are
# left out where the one found is older (Kinetic's is 1.7), each with a
# status line. Arguments: the folders that hold the build's gtest/gtest.h.
function(pelmora_check_gtest)
  include(CheckCXXSourceCompiles)
  set(CMAKE_REQUIRED_INCLUDES ${ARGN})
  set(CMAKE_REQUIRED_FLAGS -std=c++14)
  check_cxx_source_compiles("#include <gtest/gtest.h>
#ifndef GTEST_SKIP
#error older than 1.10
#endif
int main() { return 0; }" PELMORA_GTEST_1_10)
endfunction()
set(PELMORA_GTEST_NEWER_API "GTEST_SKIP|SetUpTestSuite|TearDownTestSuite|TEST_SUITE_P|TYPED_TEST_SUITE")

# pelmora_test(NAME n SOURCES s... [LIBS l...] [BOARD] [ROSTEST file.test]
#              [TIMEOUT seconds] [RUN_SERIAL] [OWN_MAIN])
# BOARD runs the program inside an empty simulated board; ROSTEST runs the
# given launch file with rostest, which starts the program as its test node
# under a fresh master. OWN_MAIN: the program defines main.
function(pelmora_test)
  cmake_parse_arguments(T "BOARD;RUN_SERIAL;OWN_MAIN" "NAME;ROSTEST;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT PELMORA_GTEST_1_10)
    foreach(source ${T_SOURCES})
      get_filename_component(source ${source} ABSOLUTE)
      file(READ ${source} text)
      if(text MATCHES "${PELMORA_GTEST_NEWER_API}")
        # Kept as a target outside `all` so the callers' target settings still apply.
        message(STATUS "pelmora: ${T_NAME} left out: needs GoogleTest 1.10 or newer")
        add_executable(${T_NAME} EXCLUDE_FROM_ALL ${T_SOURCES})
        return()
      endif()
    endforeach()
  endif()

  set(exclude "")
  if(PELMORA_TEST_CATKIN)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_executable(${T_NAME} ${exclude} ${T_SOURCES})
  if(PELMORA_TEST_CATKIN)
    add_dependencies(tests ${T_NAME})
  endif()
  target_link_libraries(${T_NAME} ${T_LIBS} ${PELMORA_TEST_LIBRARIES} pthread)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${T_NAME} ${PELMORA_TEST_MAIN})
  endif()
  set_target_properties(${T_NAME} PROPERTIES CXX_STANDARD 14 CXX_STANDARD_REQUIRED ON)
  target_compile_options(${T_NAME} PRIVATE -Wall -Wextra)
  target_compile_definitions(${T_NAME} PRIVATE
    PELMORA_SOURCE_DIR="${PELMORA_CHECKOUT}"
    PELMORA_BUILD_DIR="${CMAKE_BINARY_DIR}"
    PELMORA_SANITIZE="${PELMORA_SANITIZE}")
  if(PELMORA_TEST_DEPENDS)
    add_dependencies(${T_NAME} ${PELMORA_TEST_DEPENDS})
  endif()

  set(cmd ${PELMORA_TEST_LAUNCHER})
  if(T_BOARD)
    list(APPEND cmd ${PELMORA_TEST_BOARD})
  endif()
  set(results ${CATKIN_TEST_RESULTS_DIR})
  if(T_ROSTEST AND PELMORA_TEST_ROSTEST)
    set(type rostest)
    list(APPEND cmd ${PELMORA_TEST_ROSTEST})
    if(PELMORA_TEST_CATKIN)
      list(APPEND cmd --results-filename ${T_NAME}.xml --results-base-dir ${results})
    endif()
    list(APPEND cmd ${CMAKE_CURRENT_SOURCE_DIR}/${T_ROSTEST})
  else()
    set(type gtest)
    list(APPEND cmd ${PELMORA_TEST_RUNNER} $<TARGET_FILE:${T_NAME}>)
    if(PELMORA_TEST_CATKIN)
      list(APPEND cmd --gtest_output=xml:${results}/${PROJECT_NAME}/gtest-${T_NAME}.xml)
    endif()
  endif()
  pelmora_add_test(${T_NAME} ${type} ${type}-${T_NAME}.xml ${cmd})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${PELMORA_TEST_TIMEOUT})
  endif()
  set_tests_properties(${PELMORA_CTEST_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  # A test that cannot run here (GTEST_SKIP, then exit code 77) shows as skipped.
  set_tests_properties(${PELMORA_CTEST_NAME} PROPERTIES SKIP_RETURN_CODE 77)
  if(T_RUN_SERIAL OR PELMORA_TEST_RUN_SERIAL)
    set_tests_properties(${PELMORA_CTEST_NAME} PROPERTIES RUN_SERIAL ON)
  endif()
endfunction()

# pelmora_test_command(NAME n [QUIET] COMMAND command...): a test that is
# not a test program: it passes when the command exits 0 and, with QUIET,
# prints nothing. pelmora_junit.cmake (beside this file) runs it and writes its result.
function(pelmora_test_command)
  cmake_parse_arguments(T "QUIET" "NAME" "COMMAND" ${ARGN})
  set(xunit command-${T_NAME}.xml)
  set(result "")
  if(PELMORA_TEST_CATKIN)
    set(result ${CATKIN_TEST_RESULTS_DIR}/${PROJECT_NAME}/${xunit})
  endif()
  pelmora_add_test(${T_NAME} command ${xunit} ${CMAKE_COMMAND} -DNAME=${T_NAME} -DRESULT=${result}
    -DQUIET=${T_QUIET} -P ${PELMORA_JUNIT} -- ${T_COMMAND})
endfunction()

# pelmora_add_test(name type xunit_file command...): the command as a ctest
# entry and, with PELMORA_TEST_CATKIN, as catkin's run_tests target too; the
# command then writes <catkin results>/<project>/<xunit_file>. Leaves ctest's
# name for it in PELMORA_CTEST_NAME.
function(pelmora_add_test name type xunit)
  # Debian's ROS tools are Python programs: /usr/bin before any other python3.
  set(env PATH=/usr/bin:/bin:/usr/sbin:/sbin ROS_HOME=${CMAKE_BINARY_DIR}/ros_home
      SIMBOARD_BIN=${PELMORA_PROGRAM_DIR} ${PELMORA_TEST_ENVIRONMENT})
  if(PELMORA_TEST_CATKIN)
    set(depends "")
    if(TARGET ${name})
      set(depends DEPENDENCIES ${name})
    endif()
    # One shell line, as catkin's own test functions give it; run_tests has
    # no environment of its own, so the line sets it.
    string(REPLACE ";" " " line "/usr/bin/env;${env};${ARGN}")
    catkin_run_tests_target(${type} ${name} ${xunit} COMMAND "${line}" ${depends})
    set(PELMORA_CTEST_NAME _ctest_${PROJECT_NAME}_${type}_${name} PARENT_SCOPE)
  else()
    add_test(NAME ${name} COMMAND ${ARGN})
    set_tests_properties(${name} PROPERTIES ENVIRONMENT "${env}")
    set(PELMORA_CTEST_NAME ${name} PARENT_SCOPE)
  endif()
endfunction()
