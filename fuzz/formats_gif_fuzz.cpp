// The GIF plug-in's decoder over arbitrary files, through the test host. A frame composed from
// several images may hold more than 256 colours, so a picture saved and loaded back must only
// come back at the same size; option bit 2 saves without dithering, bit 3 with 16 colours.

#include "fuzz/format_fuzz_driver.h"

namespace {

void gif_options(std::uint8_t options) {
    vt::test::HarnessServices::set_state(u"fmx_GIF.dither", (options & 4) != 0 ? "0" : "1");
    vt::test::HarnessServices::set_state(u"fmx_GIF.colors", (options & 8) != 0 ? "16" : "256");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".gif", /*lossless=*/false, gif_options);
}
