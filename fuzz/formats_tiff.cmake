# The TIFF plug-in's decoder built into its fuzzer and driven through the test host.
find_package(TIFF REQUIRED)
vt_add_fuzzer(formats_tiff_fuzz
    SOURCES formats_tiff_fuzz.cpp ../formats/tiff/tiff_entry.cpp ../formats/tiff/tiff_codec.cpp
            ../formats/tiff/tiff_exif.cpp
    DEPS vt_image TIFF::TIFF)
