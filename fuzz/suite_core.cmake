# The suite core library's EXIF conversion, its sources built into the fuzzers.
find_package(PkgConfig REQUIRED)
pkg_check_modules(SUITE_CORE_FUZZ_EXIV2 REQUIRED IMPORTED_TARGET exiv2)
set(suite_core_exif_sources
    ../suite/core/core_exif.cpp ../suite/core/exif_markup.cpp
    ../suite/core/exif_value_text.cpp ../suite/core/markup_text.cpp)
foreach(target suite_core_exif_fuzz suite_core_markup_fuzz)
    vt_add_fuzzer(${target} SOURCES ${target}.cpp ${suite_core_exif_sources}
                  DEPS PkgConfig::SUITE_CORE_FUZZ_EXIV2)
    target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
endforeach()
