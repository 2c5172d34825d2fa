# Run by CPack for `cmake --build build --target package_source`: the release
# tarball is the commit's tracked files as they stand, under NAME-VERSION/, in
# the bytes that git gives any clone of that commit.
set(tarball "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_SOURCE_PACKAGE_FILE_NAME}.tar.gz")
execute_process(COMMAND git -C "${CPACK_MKFICHIER_SOURCE_DIR}" archive --format=tar.gz
    "--prefix=${CPACK_SOURCE_PACKAGE_FILE_NAME}/" -o "${tarball}" HEAD COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES "${tarball}")
