# Where bash-completion looks for completions, relative to the install
# prefix so that --prefix and DESTDIR still hold: its own pkg-config file
# says, taken relative to its own prefix; share/bash-completion/completions
# where it is not installed. Packagers may set the variable.
set(dir "${CMAKE_INSTALL_DATADIR}/bash-completion/completions")
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
    pkg_get_variable(bc_prefix bash-completion prefix)
    pkg_get_variable(bc_dir bash-completion completionsdir)
    cmake_path(IS_PREFIX bc_prefix "${bc_dir}" NORMALIZE under)
    if(bc_prefix AND bc_dir AND under)
        cmake_path(RELATIVE_PATH bc_dir BASE_DIRECTORY "${bc_prefix}" OUTPUT_VARIABLE dir)
    endif()
endif()
set(MKFICHIER_BASH_COMPLETION_DIR "${dir}" CACHE STRING
    "Where the bash completion is installed, relative to the install prefix")
