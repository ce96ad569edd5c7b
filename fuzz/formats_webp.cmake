if(NOT TARGET PkgConfig::FMX_WEBP)
    find_package(PkgConfig REQUIRED)
    pkg_check_modules(FMX_WEBP REQUIRED IMPORTED_TARGET GLOBAL libwebp libwebpmux libwebpdemux)
endif()
vt_add_fuzzer(formats_webp_fuzz
    SOURCES formats_webp_fuzz.cpp ${PROJECT_SOURCE_DIR}/formats/webp/webp_entry.cpp
            ${PROJECT_SOURCE_DIR}/formats/webp/webp_glue.cpp
    DEPS vt_image PkgConfig::FMX_WEBP)
