# Runs a command that is not a test program as a test, and writes its JUnit
# result where catkin_test_results reads it (RESULT, unless empty):
#   cmake -DNAME=name -DRESULT=file.xml [-DQUIET=ON] -P pelmora_junit.cmake -- command...
# It fails when the command exits non-zero or, with QUIET, prints anything.
set(command "")
set(after_dashes OFF)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE ${last})
  if(after_dashes)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} STREQUAL "--")
    set(after_dashes ON)
  endif()
endforeach()

execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE output ERROR_VARIABLE output)
set(failure "")
if(NOT status STREQUAL "0")
  set(failure "exited with ${status}")
elseif(QUIET AND NOT output STREQUAL "")
  set(failure "printed a message")
endif()

if(RESULT)
  set(text "${output}")
  foreach(pair "&;&amp;" "<;&lt;" ">;&gt;" "\";&quot;")
    list(GET pair 0 from)
    list(GET pair 1 to)
    string(REPLACE "${from}" "${to}" text "${text}")
  endforeach()
  set(failures 0)
  set(failure_element "")
  if(failure)
    set(failures 1)
    set(failure_element "<failure message=\"${failure}\" type=\"\"/>")
  endif()
  file(WRITE ${RESULT} "<?xml version=\"1.0\" encoding=\"UTF-8\"?>
<testsuite name=\"${NAME}\" tests=\"1\" failures=\"${failures}\" errors=\"0\">
  <testcase classname=\"${NAME}\" name=\"${NAME}\" status=\"run\">${failure_element}</testcase>
  <system-out>${text}</system-out>
</testsuite>
")
endif()
message("${output}")
if(failure)
  message(FATAL_ERROR "${NAME}: ${failure}")
endif()
