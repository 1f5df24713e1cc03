# How the project's parts are built, stated once for every build of them:
# the catkin package (CMakeLists.txt), the AArch64 cross build (test/cross/),
# the fuzzers (test/fuzz/) and the kernel tests (test/kernel/). Each part's folder
# states its own targets with the functions below; the build that includes
# this file only says what differs for it:
#   PELMORA_ROS_LIBRARIES   what a ROS program links (roscpp, nodelet)
#   PELMORA_BIN_DESTINATION, PELMORA_LIB_DESTINATION, PELMORA_INCLUDE_DESTINATION
#                           install folders; unset: nothing is installed
# and puts programs, as catkin does, in CMAKE_RUNTIME_OUTPUT_DIRECTORY.

set(PELMORA_ROOT ${CMAKE_CURRENT_LIST_DIR}/..)

# Compiler settings for code that the board's gcc 5 (ROS Kinetic) builds:
# C++11, -Wall -Wextra. The product's targets use them, and so do the
# stand-ins and the demo, which `catkin_make tests` builds there too.
function(pelmora_cxx11 target)
  set_target_properties(${target} PROPERTIES CXX_STANDARD 11 CXX_STANDARD_REQUIRED ON CXX_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
endfunction()

# A program of the package, installed with it.
function(pelmora_program target)
  pelmora_cxx11(${target})
  if(PELMORA_BIN_DESTINATION)
    install(TARGETS ${target} RUNTIME DESTINATION ${PELMORA_BIN_DESTINATION})
  endif()
endfunction()

# A ROS program or library: links the ROS client libraries and, where the
# package generates its message headers, builds after them.
function(pelmora_ros target)
  target_link_libraries(${target} ${PELMORA_ROS_LIBRARIES})
  if(TARGET pelmora_generate_messages_cpp)
    add_dependencies(${target} pelmora_generate_messages_cpp)
  endif()
endfunction()

# The product: the GPIO library, the shared console reader and the seven
# programs' folders, in the order they depend on each other. Parts that
# need ROS are left out when PELMORA_ROS_LIBRARIES is empty (pass NO_ROS).
macro(pelmora_add_product)
  cmake_parse_arguments(P "NO_ROS;EXCLUDE_FROM_ALL" "" "" ${ARGN})
  set(pelmora_parts gpio console gpio_hold serial)
  if(NOT P_NO_ROS)
    list(APPEND pelmora_parts tachometer drive_command teleop_files camera_launcher)
  endif()
  set(pelmora_exclude "")
  if(P_EXCLUDE_FROM_ALL)
    set(pelmora_exclude EXCLUDE_FROM_ALL)
  endif()
  foreach(part ${pelmora_parts})
    if(EXISTS ${PELMORA_ROOT}/${part}/CMakeLists.txt)
      add_subdirectory(${PELMORA_ROOT}/${part} ${CMAKE_CURRENT_BINARY_DIR}/${part} ${pelmora_exclude})
    endif()
  endforeach()
endmacro()
