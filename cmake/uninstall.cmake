# Copied into the build directory. Run by the install, last of all and only
# once it went through (STEP=after): records each of the INSTALLED files, the
# ones it wrote and those it found up to date (as old as their sources) alike,
# by what identifies it: device, inode, size, times of modification and of
# change. Run alone (`cmake -P BUILD/uninstall.cmake`, or the uninstall
# target): removes each recorded file that is still the same, and names those
# it leaves because they changed, and those it could not remove, with the
# reason; the record keeps these last, and the uninstall fails. Paths are kept
# in hex: a ';' in a name would split a CMake list, and a newline a line.
if(NOT DEFINED MANIFEST)
    set(MANIFEST "${CMAKE_CURRENT_LIST_DIR}/uninstall_manifest.txt")
endif()
function(identify path out changed error)
    execute_process(COMMAND stat -c "%d %i %s %.9Y %.9Z" -- "${path}" OUTPUT_VARIABLE id ERROR_VARIABLE failure
        OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE " [^ ]*$" "" written "${id}")
    string(REGEX REPLACE "^.* " "" change "${id}")
    set(${out} "${written}" PARENT_SCOPE)
    set(${changed} "${change}" PARENT_SCOPE)
    set(${error} "${failure}" PARENT_SCOPE)
endfunction()
if(STEP STREQUAL after)
    set(record "")
    foreach(dest IN LISTS INSTALLED)
        if(IS_ABSOLUTE "${dest}")
            set(path "$ENV{DESTDIR}${dest}")
        else()
            set(path "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${dest}")
        endif()
        if(NOT IS_ABSOLUTE "${path}") # a relative DESTDIR, taken from where the install ran
            set(path "${CMAKE_CURRENT_SOURCE_DIR}/${path}")
        endif()
        string(HEX "${path}" hex)
        identify("${path}" id change error)
        if(id)
            string(APPEND record "${id} ${hex} ${change}\n")
        endif()
    endforeach()
    # A new file in its place: one that root wrote can be replaced from a build directory of one's own.
    file(WRITE "${MANIFEST}.new" "${record}")
    file(RENAME "${MANIFEST}.new" "${MANIFEST}")
    return()
endif()
if(NOT EXISTS "${MANIFEST}")
    message(FATAL_ERROR "${MANIFEST} not found: nothing was installed from this build since the last uninstall, "
        "or the last install did not finish")
endif()
file(STRINGS "${MANIFEST}" lines)
set(ENV{LC_ALL} C) # for the reasons that stat and rm give
set(kept "")
set(failed 0)
foreach(line IN LISTS lines)
    string(REGEX MATCH "^(.*) ([0-9a-f]+) (.*)$" line "${line}")
    set(id "${CMAKE_MATCH_1} ${CMAKE_MATCH_3}")
    set(hex "${CMAKE_MATCH_2}")
    set(path "")
    while(NOT hex STREQUAL "")
        string(SUBSTRING "${hex}" 0 2 byte)
        string(SUBSTRING "${hex}" 2 -1 hex)
        math(EXPR byte "0x${byte}")
        string(ASCII ${byte} char)
        string(APPEND path "${char}")
    endwhile()
    identify("${path}" now change error)
    if(now AND "${now} ${change}" STREQUAL id)
        # file(REMOVE) says nothing when it fails; rm names the reason last.
        execute_process(COMMAND rm -f -- "${path}" RESULT_VARIABLE rc ERROR_VARIABLE error
            ERROR_STRIP_TRAILING_WHITESPACE)
        if(rc EQUAL 0)
            message(STATUS "Removed ${path}")
            continue()
        endif()
    elseif(now)
        message(STATUS "Leaving ${path}: changed since it was installed")
        continue()
    elseif(error MATCHES ": (No such file or directory|Not a directory)$")
        continue()
    endif()
    # Not removed, or not even seen (a folder on the way that this user may not search).
    string(REGEX REPLACE "^.*: " "" error "${error}")
    message(NOTICE "Could not remove ${path}: ${error}")
    string(APPEND kept "${line}\n")
    math(EXPR failed "${failed} + 1")
endforeach()
if(failed EQUAL 0)
    file(REMOVE "${MANIFEST}")
    return()
endif()
file(WRITE "${MANIFEST}.new" "${kept}") # in a new file, as above
file(RENAME "${MANIFEST}.new" "${MANIFEST}")
message(NOTICE "The record keeps them: run the uninstall again as a user who may remove them, "
    "such as root: sudo cmake -P ${CMAKE_CURRENT_LIST_FILE}")
message(FATAL_ERROR "${failed} file(s) could not be removed")
