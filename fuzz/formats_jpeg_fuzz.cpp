// The JPEG plug-in's decoder over arbitrary files, through the test host. Lossy, so a picture
// saved and loaded back must come back at the same size; option bit 2 saves progressive, bit 3
// at the lowest quality, bit 4 accepts a draft.

#include "fuzz/format_fuzz_driver.h"

namespace {

void jpeg_options(std::uint8_t options) {
    vt::test::HarnessServices::set_state(u"fmx_JPEG.progressive", (options & 4) != 0 ? "1" : "0");
    vt::test::HarnessServices::set_state(u"fmx_JPEG.quality", (options & 8) != 0 ? "1" : "90");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".jpg", /*lossless=*/false, jpeg_options, false,
                                        0, 0, /*draft_bit=*/0x10);
}
