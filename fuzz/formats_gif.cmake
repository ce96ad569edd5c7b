# The GIF plug-in's decoder and encoder built into the fuzzer.
if(NOT TARGET PkgConfig::IMAGEQUANT)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(IMAGEQUANT REQUIRED IMPORTED_TARGET GLOBAL imagequant)
endif()
find_path(VT_GIF_INCLUDE_DIR gif_lib.h REQUIRED)
find_library(VT_GIF_LIBRARY gif REQUIRED)
vt_add_fuzzer(formats_gif_fuzz
    SOURCES formats_gif_fuzz.cpp ${PROJECT_SOURCE_DIR}/formats/gif/gif_entry.cpp
            ${PROJECT_SOURCE_DIR}/formats/gif/gif_decode.cpp
            ${PROJECT_SOURCE_DIR}/formats/gif/gif_encode.cpp
            ${PROJECT_SOURCE_DIR}/formats/gif/gif_palette.cpp
    DEPS vt_image ${VT_GIF_LIBRARY} PkgConfig::IMAGEQUANT)
target_include_directories(formats_gif_fuzz SYSTEM PRIVATE ${VT_GIF_INCLUDE_DIR})
