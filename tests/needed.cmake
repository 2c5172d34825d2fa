# Checks that the tool given as -DBIN=... is linked dynamically against libc
# alone: no C++ runtime to load at start-up. -DREADELF=... names readelf.
execute_process(COMMAND ${READELF} -d ${BIN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
    message(FATAL_ERROR "${READELF} -d ${BIN} (exit ${rc}):\n${err}")
endif()
string(REGEX MATCHALL "\\(NEEDED\\)[^\n]*" needed "${out}")
if(NOT needed MATCHES "^\\(NEEDED\\) +Shared library: \\[libc\\.so\\.[0-9]+\\]$")
    message(FATAL_ERROR "${BIN} should need libc alone, and be linked dynamically; it needs:\n${needed}")
endif()
