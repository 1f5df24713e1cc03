# How a test program is built and registered with ctest, stated once for
# every build that runs tests: the catkin package (test/), the AArch64
# board build (cross/), the native tests of the AArch64 ROS programs
# (cross/ros/) and the kernel tests (test/kernel/). The build that includes
# this file only says what differs for it:
#   PELMORA_PROGRAM_DIR       where the build's programs are (tests find
#                             them with programPath, the stand-ins there too)
#   PELMORA_TEST_LIBRARIES    what every test links (support, GoogleTest, ROS)
#   PELMORA_TEST_MAIN         GoogleTest's main, for tests without their own
#   PELMORA_TEST_DEPENDS      targets every test is built after
#   PELMORA_TEST_ENVIRONMENT  extra NAME=value entries for the test's run
#   PELMORA_TEST_LAUNCHER     command every test runs under (env.sh, tools/kernelboard)
#   PELMORA_TEST_BOARD        command a BOARD test runs in (tools/simboard --bare --)
#   PELMORA_TEST_RUNNER       command that starts the test program itself
#                             (qemu-aarch64, cross/with-master)
#   PELMORA_TEST_ROSTEST      rostest, for tests that name a launch file;
#                             unset: the launch file is not used
#   PELMORA_TEST_TIMEOUT      default time limit in seconds
#   PELMORA_TEST_RUN_SERIAL   ON: every test runs alone
# and calls pelmora_check_gtest once before the first test.

get_filename_component(PELMORA_TEST_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)

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

  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} ${T_LIBS} ${PELMORA_TEST_LIBRARIES} pthread)
  if(NOT T_OWN_MAIN)
    target_link_libraries(${T_NAME} ${PELMORA_TEST_MAIN})
  endif()
  set_target_properties(${T_NAME} PROPERTIES CXX_STANDARD 14 CXX_STANDARD_REQUIRED ON)
  target_compile_options(${T_NAME} PRIVATE -Wall -Wextra)
  target_compile_definitions(${T_NAME} PRIVATE
    PELMORA_SOURCE_DIR="${PELMORA_TEST_ROOT}"
    PELMORA_BUILD_DIR="${CMAKE_BINARY_DIR}"
    PELMORA_SANITIZE="${PELMORA_SANITIZE}")
  if(PELMORA_TEST_DEPENDS)
    add_dependencies(${T_NAME} ${PELMORA_TEST_DEPENDS})
  endif()

  set(cmd ${PELMORA_TEST_LAUNCHER})
  if(T_BOARD)
    list(APPEND cmd ${PELMORA_TEST_BOARD})
  endif()
  if(T_ROSTEST AND PELMORA_TEST_ROSTEST)
    list(APPEND cmd ${PELMORA_TEST_ROSTEST} ${CMAKE_CURRENT_SOURCE_DIR}/${T_ROSTEST})
  else()
    list(APPEND cmd ${PELMORA_TEST_RUNNER} $<TARGET_FILE:${T_NAME}>)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${cmd})

  if(NOT T_TIMEOUT)
    set(T_TIMEOUT ${PELMORA_TEST_TIMEOUT})
  endif()
  # Debian's ROS tools are Python programs: /usr/bin before any other python3.
  set(env PATH=/usr/bin:/bin:/usr/sbin:/sbin ROS_HOME=${CMAKE_BINARY_DIR}/ros_home
      SIMBOARD_BIN=${PELMORA_PROGRAM_DIR} ${PELMORA_TEST_ENVIRONMENT})
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT} ENVIRONMENT "${env}")
  if(T_RUN_SERIAL OR PELMORA_TEST_RUN_SERIAL)
    set_tests_properties(${T_NAME} PROPERTIES RUN_SERIAL ON)
  endif()
endfunction()
