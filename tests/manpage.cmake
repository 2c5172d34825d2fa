# Renders the manual page given as -DPAGE=...; any groff warning fails.
find_program(GROFF groff)
if(NOT GROFF)
    message(FATAL_ERROR "groff not found: install the Debian package groff-base")
endif()
execute_process(COMMAND ${GROFF} -mdoc -ww -z ${PAGE}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "groff -mdoc -ww -z ${PAGE} (exit ${rc}):\n${out}${err}")
endif()
