# The GIF plug-in, loaded from bin/Plugins; the tests write their own GIF files with giflib's
# encoder and check the conformance suite's expected frames.
find_path(VT_GIF_INCLUDE_DIR gif_lib.h REQUIRED)
find_library(VT_GIF_LIBRARY gif REQUIRED)
vt_add_test(formats_gif_test
    SOURCES formats/gif_test.cpp formats/gif_conformance_test.cpp
    DEPS vt_image ${VT_GIF_LIBRARY} ${CMAKE_DL_LIBS} LABELS formats)
target_include_directories(formats_gif_test SYSTEM PRIVATE ${VT_GIF_INCLUDE_DIR})
add_dependencies(formats_gif_test fmx_GIF)
target_compile_definitions(formats_gif_test PRIVATE VT_PLUGINS_DIR="${VT_BIN_DIR}/Plugins")
