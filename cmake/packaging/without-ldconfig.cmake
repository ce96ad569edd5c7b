# Run by cpack after it made the package (CPACK_POST_BUILD_SCRIPTS): takes out the postinst and
# postrm that only call ldconfig, and builds the package again from the same tree, owned by root
# as before. Any other maintainer script is kept.
find_program(DPKG_DEB dpkg-deb REQUIRED)
foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(tree ${CPACK_TOPLEVEL_DIRECTORY}/without-ldconfig)
    file(REMOVE_RECURSE ${tree})
    execute_process(COMMAND ${DPKG_DEB} --raw-extract ${deb} ${tree} COMMAND_ERROR_IS_FATAL ANY)
    foreach(script postinst postrm)
        if(EXISTS ${tree}/DEBIAN/${script})
            file(STRINGS ${tree}/DEBIAN/${script} lines REGEX "[^ \t]")
            list(FILTER lines EXCLUDE REGEX "^#!|^set -e$|ldconfig|^fi$|^ *\\[|^if |^then$")
            if(NOT lines)
                file(REMOVE ${tree}/DEBIAN/${script})
            endif()
        endif()
    endforeach()
    execute_process(COMMAND ${DPKG_DEB} --root-owner-group --build ${tree} ${deb}
                    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tree})
endforeach()
