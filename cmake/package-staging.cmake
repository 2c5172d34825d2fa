# Run by CPack on its staging tree, before each package is made: manual
# pages and changelogs are gzip-compressed as distributions want them, and
# the binary loses the sections that only name the compilers. A plain
# install keeps everything as it is. A .deb carries the licence as Debian's
# machine-readable copyright file instead.
file(GLOB_RECURSE files "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
list(FILTER files INCLUDE REGEX "(/man/man[1-9]/[^/]+\\.[1-9]|/doc/[^/]+/changelog)$")
foreach(file IN LISTS files)
    # -n keeps the time stamp out, so the package is reproducible.
    execute_process(COMMAND gzip -9nf "${file}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
file(GLOB_RECURSE programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(program IN LISTS programs)
    execute_process(COMMAND "${CPACK_MKFICHIER_OBJCOPY}" --remove-section=.comment --remove-section=.note
        "${program}" COMMAND_ERROR_IS_FATAL ANY)
endforeach()
if(CPACK_GENERATOR STREQUAL "DEB")
    file(GLOB_RECURSE licences "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
    list(FILTER licences INCLUDE REGEX "/doc/[^/]+/LICENSE$")
    foreach(licence IN LISTS licences)
        get_filename_component(dir "${licence}" DIRECTORY)
        file(REMOVE "${licence}")
        file(COPY "${CPACK_MKFICHIER_SOURCE_DIR}/doc/copyright" DESTINATION "${dir}")
    endforeach()
endif()
