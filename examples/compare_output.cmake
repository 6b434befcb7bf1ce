# Runs PROGRAM with WORKDIR as its argument in a fresh WORKDIR and fails
# unless it exits with 0 and prints exactly the content of EXPECTED.
file(REMOVE_RECURSE "${WORKDIR}")
file(MAKE_DIRECTORY "${WORKDIR}")
execute_process(COMMAND "${PROGRAM}" "${WORKDIR}"
  WORKING_DIRECTORY "${WORKDIR}"
  OUTPUT_VARIABLE actual
  ERROR_VARIABLE errors
  RESULT_VARIABLE status)
file(READ "${EXPECTED}" expected)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${PROGRAM} exited with ${status}: ${errors}")
endif()
if(NOT actual STREQUAL expected)
  message(FATAL_ERROR "output differs\n--- expected\n${expected}--- actual\n${actual}")
endif()
