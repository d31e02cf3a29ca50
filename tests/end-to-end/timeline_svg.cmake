# Draws the timeline of a scenario with nrvsim --timeline and checks that the
# file is well-formed SVG holding the marks expected of that scenario.
#   cmake -DNRVSIM=<nrvsim> -DSVG=<file> [-DSCENARIO=<file>] -DMARKS=<regex@@regex...> -P timeline_svg.cmake
find_program(XMLLINT xmllint)
if(NOT XMLLINT)
  message(FATAL_ERROR "xmllint is not installed (scripts/install-deps.sh installs it)")
endif()

file(REMOVE "${SVG}")
set(arguments "--timeline=${SVG}")
if(SCENARIO)
  list(APPEND arguments "--scenario=${SCENARIO}")
endif()
execute_process(COMMAND "${NRVSIM}" ${arguments} RESULT_VARIABLE status OUTPUT_VARIABLE transcript
                ERROR_VARIABLE errors)
if(NOT status EQUAL 0 OR NOT transcript MATCHES "shutdown clean")
  message(FATAL_ERROR "nrvsim failed with ${status}:\n${errors}")
endif()

execute_process(COMMAND "${XMLLINT}" --noout "${SVG}" RESULT_VARIABLE status ERROR_VARIABLE errors)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "${SVG} is not well-formed XML:\n${errors}")
endif()

file(READ "${SVG}" picture)
if(NOT picture MATCHES "^<\\?xml [^\n]*\n<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"[0-9]+\" height=\"[0-9]+\"")
  message(FATAL_ERROR "${SVG} does not start as an SVG document")
endif()
string(REPLACE "@@" ";" MARKS "${MARKS}")
foreach(mark IN LISTS MARKS)
  if(NOT picture MATCHES "${mark}")
    message(FATAL_ERROR "${SVG} has no '${mark}'")
  endif()
endforeach()
