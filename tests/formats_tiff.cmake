# fmx_TIFF, loaded from bin/Plugins by the small test host; the tests write their own TIFF
# variants with libtiff and compare with libtiff's own decode.
find_package(TIFF REQUIRED)
find_package(PNG REQUIRED)
vt_add_test(formats_tiff_test
    SOURCES formats/tiff_test.cpp formats/tiff_conformance_test.cpp formats/tiff_exif_test.cpp
            formats/png_reference.c ../formats/tiff/tiff_exif.cpp
    DEPS vt_image TIFF::TIFF PNG::PNG ${CMAKE_DL_LIBS} LABELS formats)
add_dependencies(formats_tiff_test fmx_TIFF)
target_compile_definitions(formats_tiff_test PRIVATE VT_PLUGINS_DIR="${VT_BIN_DIR}/Plugins")
