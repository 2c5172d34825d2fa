# The Debian package, built by `cpack --config build/CPackConfig.cmake`.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME mkfichier)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
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

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "The mkfichier developers <mkfichier@users.noreply.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Debian wants manual pages and changelogs compressed.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress-docs.cmake)

include(CPack)
