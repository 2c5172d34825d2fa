# Renders the manual page given as -DPAGE=...; any groff warning fails, and
# so does a footer that names another version than -DVERSION=...
find_program(GROFF groff)
if(NOT GROFF)
    message(FATAL_ERROR "groff not found: install the Debian package groff-base")
endif()
execute_process(COMMAND ${GROFF} -mdoc -ww -z ${PAGE}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
    message(FATAL_ERROR "groff -mdoc -ww -z ${PAGE} (exit ${rc}):\n${out}${err}")
endif()
file(STRINGS ${PAGE} os REGEX "^\\.Os")
if(NOT os STREQUAL ".Os mkfichier ${VERSION}")
    message(FATAL_ERROR "${PAGE} has '${os}', not '.Os mkfichier ${VERSION}'")
endif()
