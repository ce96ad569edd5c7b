// The WIC plug-in's JPEG XR decoder over arbitrary files, through the test host; a picture saved
// losslessly and loaded back must come back identical; bit 7 of the options byte asks for 16
// bits too (jxrlib's own 8-bit conversion is within one step of their rounding).

#include "fuzz/format_fuzz_driver.h"

namespace {
void lossless(std::uint8_t /*options*/) {
    vt::test::HarnessServices::set_state(u"fmx_WIC.lossless", "1");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".jxr", /*lossless=*/true, lossless, false,
                                        /*deep_bit=*/0x80, /*deep_tolerance=*/1);
}
