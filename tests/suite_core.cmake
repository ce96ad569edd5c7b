# The suite's core library, opened from bin/ by its test exactly as the host opens it.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SUITE_CORE_TEST_EXIV2 REQUIRED IMPORTED_TARGET exiv2)
vt_add_test(suite_core_test
    SOURCES suite_core/exif_markup_test.cpp suite_core/image_io_test.cpp
    DEPS vt_base PkgConfig::SUITE_CORE_TEST_EXIV2 ${CMAKE_DL_LIBS}
    LABELS "suite_core;threads")
target_include_directories(suite_core_test PRIVATE ${PROJECT_SOURCE_DIR})
target_compile_definitions(suite_core_test PRIVATE VT_CORE_LIBRARY_PATH="$<TARGET_FILE:vtl_Core>")
add_dependencies(suite_core_test vtl_Core)
