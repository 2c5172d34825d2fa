# Run by CPack on its staging tree, before the package is made: Debian
# wants manual pages and changelogs gzip-compressed; a plain install keeps
# them as they are.
file(GLOB_RECURSE files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "(/man/man[1-9]/[^/]+\\.[1-9]|/doc/[^/]+/changelog)$")
foreach(file IN LISTS files)
    # -n keeps the time stamp out, so the package is reproducible.
    execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
