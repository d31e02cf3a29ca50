# Checks that nrvsim --json writes one JSON document on standard output, or,
# given INPUT, that the file is one.
#   cmake -DNRVSIM=<path> -DCHECKER=<path> [-DARGUMENTS=<list>] -P json_document.cmake
#   cmake -DCHECKER=<path> -DINPUT=<file> -P json_document.cmake
if(DEFINED INPUT)
  execute_process(COMMAND ${CHECKER} INPUT_FILE ${INPUT} RESULTS_VARIABLE statuses ERROR_VARIABLE error)
  set(expected "0")
else()
  execute_process(COMMAND ${NRVSIM} --json ${ARGUMENTS} COMMAND ${CHECKER} RESULTS_VARIABLE statuses
                  ERROR_VARIABLE error)
  set(expected "0;0")
endif()
if(NOT statuses STREQUAL expected)
  message(FATAL_ERROR "ended with ${statuses}:\n${error}")
endif()
