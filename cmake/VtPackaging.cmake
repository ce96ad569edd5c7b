# The Debian package: `cpack -G DEB` in the build folder (scripts/package.sh runs it and lintian)
# makes vantrel-converter_<version>_amd64.deb from the same install rules as `cmake --install`,
# under /usr. The library dependencies are computed by dpkg-shlibdeps; what is loaded without
# being linked (Qt's platform plug-in) is named here.
set(VT_DEB_MAINTAINER
    "Vantrel Converter developers <maintainers@users.noreply.c-seed-f1a7505a.example>")

# Debian's copyright file and changelog, in the package's doc folder. The changelog is
# compressed with -n so that a rebuild is identical.
set(VT_DOC_DIR share/doc/vantrel-converter)
# The package's version is the project's; its changelog must name the same one at the top.
file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/packaging/changelog vt_changelog_top LIMIT_COUNT 1)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${CMAKE_CURRENT_LIST_DIR}/packaging/changelog)
if(NOT vt_changelog_top MATCHES "^vantrel-converter \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "cmake/packaging/changelog must begin with an entry for version "
                        "${PROJECT_VERSION}, not: ${vt_changelog_top}")
endif()
set(VT_CHANGELOG_GZ ${CMAKE_BINARY_DIR}/share/doc/changelog.gz)
find_program(VT_GZIP gzip REQUIRED)
add_custom_command(OUTPUT ${VT_CHANGELOG_GZ}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/share/doc
    COMMAND ${VT_GZIP} -9n -c ${CMAKE_CURRENT_LIST_DIR}/packaging/changelog > ${VT_CHANGELOG_GZ}
    DEPENDS ${CMAKE_CURRENT_LIST_DIR}/packaging/changelog
    COMMENT "Compressing the Debian changelog")
add_custom_target(vt_package_docs ALL DEPENDS ${VT_CHANGELOG_GZ})
install(FILES ${CMAKE_CURRENT_LIST_DIR}/packaging/copyright ${VT_CHANGELOG_GZ}
        DESTINATION ${VT_DOC_DIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-converter)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vantrel Converter developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "batch picture converter, desktop program and command line")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VT_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Qt finds its platform plug-in (xcb, wayland, offscreen) at run time; no library links it.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# Save errors name file types from the shared MIME database; folders open through xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "shared-mime-info, xdg-utils")
# The extended description, below the summary; CPack indents it and marks the empty line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Vantrel Converter turns every picture of a folder tree into one chosen format,
with resizing, rotation, auto levels, denoise, watermark, renaming, GPS and
date removal and pass-thru copies, on one worker thread per processor.

The desktop program vantrel-converter (Qt 6) describes a job in a wizard and
shows its progress; the command line program vtconvert runs the same jobs in
scripts and on clusters, one share of a job per process. Pictures are read and
written by format plug-ins (JPEG, PNG, WebP, TIFF, GIF, HEIF, JPEG XL,
JPEG 2000, PSD and more) and by the suite's layered format VT5.")
# CPack gives a package with a shared object under /usr/lib maintainer scripts that run
# ldconfig. /usr/lib/vantrel is no folder of the loader's, so they would do nothing: the
# package is rebuilt without them.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/packaging/without-ldconfig.cmake)
include(CPack)
