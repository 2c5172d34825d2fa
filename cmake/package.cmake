# The Debian and RPM packages, built by `cpack --config BUILD/CPackConfig.cmake`.
set(CPACK_GENERATOR DEB RPM)
set(CPACK_PACKAGE_NAME mkfichier)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The mkfichier developers")
set(CPACK_PACKAGE_CONTACT "The mkfichier developers <mkfichier@users.noreply.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "make directories and one numbered file in each")
set(CPACK_PACKAGE_DESCRIPTION
"mkfichier takes directory paths as arguments. For each one, in order, it
makes sure that the directory exists, creating every missing level with
mode 0700, then creates one file there named after the argument's position
(fichier_01, fichier_02, ...) holding one fixed line of text.
It never overwrites anything: an entry already at the file's path is left
untouched and reported. Every outcome is reported on standard output, one
message per argument, for scripts to read.")

# The newest changelog entry's date, for builds that give no
# SOURCE_DATE_EPOCH (see package-options.cmake).
file(STRINGS ${PROJECT_SOURCE_DIR}/doc/changelog signoff REGEX "^ -- .*>  " LIMIT_COUNT 1)
string(REGEX REPLACE "^ -- .*>  " "" changelog_date "${signoff}")
execute_process(COMMAND date -u -d "${changelog_date}" +%s
    OUTPUT_VARIABLE CPACK_MKFICHIER_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/package-options.cmake)
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package-staging.cmake)
set(CPACK_MKFICHIER_OBJCOPY ${CMAKE_OBJCOPY})
set(CPACK_MKFICHIER_BINARY_DIR ${PROJECT_BINARY_DIR})

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY "Make directories and one numbered file in each")
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE ISC)
set(CPACK_RPM_PACKAGE_GROUP "Applications/File")
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}")
# Directories that the filesystem and bash-completion packages own (Fedora's
# filesystem owns the zsh and fish ones too, for packages not to need the shells).
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/bash-completion /usr/share/bash-completion/completions
    /usr/share/zsh /usr/share/zsh/site-functions /usr/share/fish /usr/share/fish/vendor_completions.d)

# The source tarball: see source-archive.cmake.
set(CPACK_SOURCE_GENERATOR External)
set(CPACK_SOURCE_PACKAGE_FILE_NAME ${CPACK_PACKAGE_NAME}-${PROJECT_VERSION})
set(CPACK_MKFICHIER_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_MKFICHIER_SOURCE_ARCHIVE ${CMAKE_CURRENT_LIST_DIR}/source-archive.cmake)

include(CPack)
