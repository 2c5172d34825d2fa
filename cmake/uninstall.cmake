# Removes the files that the last `cmake --install` of this build put in
# place, as listed in -DMANIFEST=...; the directories it made are left.
if(NOT EXISTS "${MANIFEST}")
    message(FATAL_ERROR "${MANIFEST} not found: nothing was installed from this build")
endif()
file(STRINGS "${MANIFEST}" files)
foreach(file IN LISTS files)
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
        message(STATUS "Removing ${file}")
        file(REMOVE "${file}")
    endif()
endforeach()
file(REMOVE "${MANIFEST}")
