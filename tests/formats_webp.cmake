# The WebP plug-in, loaded from bin/Plugins, checked against libwebp's own decode and the PNG
# reference frames of the conformance images.
if(NOT TARGET PkgConfig::FMX_WEBP)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(FMX_WEBP REQUIRED IMPORTED_TARGET GLOBAL libwebp libwebpmux libwebpdemux)
endif()
vt_add_test(formats_webp_test
    SOURCES formats/webp_test.cpp formats/png_reference.c
    DEPS vt_image PNG::PNG PkgConfig::FMX_WEBP ${CMAKE_DL_LIBS} LABELS formats)
add_dependencies(formats_webp_test fmx_WebP)
target_compile_definitions(formats_webp_test PRIVATE VT_PLUGINS_DIR="${VT_BIN_DIR}/Plugins")
