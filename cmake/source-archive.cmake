# Run by CPack for `cmake --build build --target package_source`: the release
# tarball is the commit's tracked files as they stand, under NAME-VERSION/, in
# the bytes that git gives any clone of that commit.
# The name says the version this build was configured with; HEAD must hold the same one.
execute_process(COMMAND git -C "${CPACK_MKFICHIER_SOURCE_DIR}" show HEAD:CMakeLists.txt OUTPUT_VARIABLE lists
    COMMAND_ERROR_IS_FATAL ANY)
string(REGEX MATCH "project\\([^)]* VERSION ([0-9.]+)" head_project "${lists}")
if(NOT CMAKE_MATCH_1 STREQUAL CPACK_PACKAGE_VERSION)
    message(FATAL_ERROR "HEAD holds version ${CMAKE_MATCH_1}, this build ${CPACK_PACKAGE_VERSION}: "
        "commit the version, then run cmake again")
endif()
set(tarball "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_SOURCE_PACKAGE_FILE_NAME}.tar.gz")
execute_process(COMMAND git -C "${CPACK_MKFICHIER_SOURCE_DIR}" archive --format=tar.gz
    "--prefix=${CPACK_SOURCE_PACKAGE_FILE_NAME}/" -o "${tarball}" HEAD COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_EXTERNAL_BUILT_PACKAGES "${tarball}")
