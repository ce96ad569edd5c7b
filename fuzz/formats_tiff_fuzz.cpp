// The TIFF plug-in's decoder over arbitrary files, through the test host. Its saves are
// lossless, so a picture saved and loaded back must keep every pixel; option bits 2-3 choose
// the compression (LZW, none, Deflate, PackBits); bit 6 makes the save a BigTIFF; bit 7 asks
// for 16 bits too.

#include "fuzz/format_fuzz_driver.h"

namespace {

void tiff_options(std::uint8_t options) {
    static const char* const kCompression[4] = {"5", "1", "8", "32773"};
    vt::test::HarnessServices::set_state(u"fmx_TIFF.compression", kCompression[(options >> 2) & 3]);
    vt::test::HarnessServices::set_state(u"fmx_TIFF.bigtiff", (options & 0x40) != 0 ? "1" : "0");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".tif", /*lossless=*/true, tiff_options, false,
                                        /*deep_bit=*/0x80, /*deep_tolerance=*/1);
}
