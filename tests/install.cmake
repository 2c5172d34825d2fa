# Installs the build tree -DBUILD=... under -DOUT=..., once with a prefix and
# once with DESTDIR, and checks that every file lands where it should.
file(REMOVE_RECURSE ${OUT})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${OUT}/prefix
    RESULT_VARIABLE rc OUTPUT_QUIET)
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${OUT}/destdir
    ${CMAKE_COMMAND} --install ${BUILD} --prefix /usr/local
    RESULT_VARIABLE rc2 OUTPUT_QUIET)
if(NOT rc EQUAL 0 OR NOT rc2 EQUAL 0)
    message(FATAL_ERROR "cmake --install failed")
endif()
foreach(root ${OUT}/prefix ${OUT}/destdir/usr/local)
    foreach(file bin/mkfichier share/man/man1/mkfichier.1 share/doc/mkfichier/copyright
            share/doc/mkfichier/changelog ${COMPLETION_DIR}/mkfichier)
        if(NOT EXISTS ${root}/${file})
            message(FATAL_ERROR "not installed: ${root}/${file}")
        endif()
    endforeach()
endforeach()
file(REMOVE_RECURSE ${OUT})
