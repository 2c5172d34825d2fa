# Where each shell looks for completions, relative to the install prefix so
# that --prefix and DESTDIR still hold; packagers may set each variable.
# bash-completion and fish say in their pkg-config files (completionsdir,
# taken relative to their own prefix); where they are not installed, their
# usual directory stands.
find_package(PkgConfig QUIET)
function(completionsdir module default out)
    set(dir "${default}")
    if(PKG_CONFIG_FOUND)
        pkg_get_variable(pc_prefix ${module} prefix)
        pkg_get_variable(pc_dir ${module} completionsdir)
        cmake_path(IS_PREFIX pc_prefix "${pc_dir}" NORMALIZE under)
        if(pc_prefix AND pc_dir AND under)
            cmake_path(RELATIVE_PATH pc_dir BASE_DIRECTORY "${pc_prefix}" OUTPUT_VARIABLE dir)
        endif()
    endif()
    set(${out} "${dir}" PARENT_SCOPE)
endfunction()
completionsdir(bash-completion "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" dir)
set(MKFICHIER_BASH_COMPLETION_DIR "${dir}" CACHE STRING
    "Where the bash completion is installed, relative to the install prefix")
completionsdir(fish "${CMAKE_INSTALL_DATADIR}/fish/vendor_completions.d" dir)
set(MKFICHIER_FISH_COMPLETION_DIR "${dir}" CACHE STRING
    "Where the fish completion is installed, relative to the install prefix")

# zsh has no pkg-config file; its $fpath says. The first of its directories
# that is the install prefix's share/zsh/vendor-completions (Debian's) or
# share/zsh/site-functions (zsh's own: Fedora's, and /usr/local's on both)
# stands; else site-functions.
set(dir "${CMAKE_INSTALL_DATADIR}/zsh/site-functions")
execute_process(COMMAND zsh -fc "print -rl -- \$fpath" OUTPUT_VARIABLE fpath ERROR_QUIET)
string(REPLACE "\n" ";" fpath "${fpath}")
foreach(entry IN LISTS fpath)
    cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${entry}" NORMALIZE under)
    if(under)
        cmake_path(RELATIVE_PATH entry BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}" OUTPUT_VARIABLE entry)
        if(entry MATCHES "^${CMAKE_INSTALL_DATADIR}/zsh/(vendor-completions|site-functions)$")
            set(dir "${entry}")
            break()
        endif()
    endif()
endforeach()
set(MKFICHIER_ZSH_COMPLETION_DIR "${dir}" CACHE STRING
    "Where the zsh completion is installed, relative to the install prefix")
