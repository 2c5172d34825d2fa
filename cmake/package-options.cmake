# Read by cpack for each package it makes. Without SOURCE_DATE_EPOCH from
# the caller, the date of the newest changelog entry stands for it, so two
# builds of one commit give the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_MKFICHIER_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MKFICHIER_SOURCE_DATE_EPOCH}")
endif()
if(CPACK_GENERATOR STREQUAL "External")
    set(CPACK_EXTERNAL_ENABLE_STAGING OFF)
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CPACK_MKFICHIER_SOURCE_ARCHIVE}")
else()
    # The staging install rewrites BUILD/install_manifest.txt at its end, as
    # every install does. One that root left there (`sudo cmake --install`)
    # would refuse the user's write; the build directory is theirs, so the
    # file is removed rather than written over.
    file(REMOVE "${CPACK_MKFICHIER_BINARY_DIR}/install_manifest.txt")
endif()
