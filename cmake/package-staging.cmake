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
# The copyright file takes the place of LICENSE, or stands beside the
# changelog where LICENSE was left out (MKFICHIER_INSTALL_LICENSE=OFF).
if(CPACK_GENERATOR STREQUAL "DEB")
    file(GLOB_RECURSE changelogs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
    list(FILTER changelogs INCLUDE REGEX "/doc/[^/]+/changelog\\.gz$")
    foreach(changelog IN LISTS changelogs)
        get_filename_component(dir "${changelog}" DIRECTORY)
        file(REMOVE "${dir}/LICENSE")
        file(COPY "${CPACK_MKFICHIER_SOURCE_DIR}/doc/copyright" DESTINATION "${dir}")
    endforeach()
endif()
# zsh reads packaged completions from share/zsh/vendor-completions on Debian
# and from share/zsh/site-functions on Fedora, whatever this host's zsh reads:
# each package has the zsh completion there.
if(CPACK_GENERATOR STREQUAL "DEB")
    set(to "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/zsh/vendor-completions")
else()
    set(to "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/share/zsh/site-functions")
endif()
file(GLOB_RECURSE zsh "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/_mkfichier")
if(zsh AND NOT zsh STREQUAL "${to}/_mkfichier")
    file(MAKE_DIRECTORY "${to}")
    file(RENAME "${zsh}" "${to}/_mkfichier")
    cmake_path(GET zsh PARENT_PATH dir)
    file(GLOB left "${dir}/*")
    while(NOT left) # the directories it leaves empty go too, for no package to hold them
        file(REMOVE_RECURSE "${dir}")
        cmake_path(GET dir PARENT_PATH dir)
        file(GLOB left "${dir}/*")
    endwhile()
endif()
