// The camera raw plug-in's develop over arbitrary files, through the test host.
// The plug-in saves nothing; bit 2 asks for half size, bit 3 for the
// embedded preview, bit 7 for the 16-bit develop too.

#include "fuzz/format_fuzz_driver.h"

namespace {

void raw_options(std::uint8_t options) {
    vt::test::HarnessServices::set_state(u"fmx_RAW.half_size", (options & 4) != 0 ? "1" : "0");
    vt::test::HarnessServices::set_state(u"fmx_RAW.preview", (options & 8) != 0 ? "1" : "0");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > 0)
        raw_options(data[size - 1]);
    return vt::fuzz::fuzz_format_plugin(data, size, ".dng", false, nullptr, false,
                                        /*deep_bit=*/0x80, /*deep_tolerance=*/1);
}
