# Read by cpack for each package it makes. Without SOURCE_DATE_EPOCH from
# the caller, the date of the newest changelog entry stands for it, so two
# builds of one commit give the same bytes.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND CPACK_MKFICHIER_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    set(ENV{SOURCE_DATE_EPOCH} "${CPACK_MKFICHIER_SOURCE_DATE_EPOCH}")
endif()
if(CPACK_GENERATOR STREQUAL "External")
    set(CPACK_EXTERNAL_ENABLE_STAGING OFF)
    set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CPACK_MKFICHIER_SOURCE_ARCHIVE}")
endif()
