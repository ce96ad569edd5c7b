// The WebP plug-in's decoder over arbitrary files, through the test host. Option bit 2 saves
// lossless, and then a picture loaded back must have the very same pixels; otherwise the save is
// lossy (bit 3: at the lowest quality and fastest method) and only the size must come back. Bit
// 4 accepts a draft.

#include "fuzz/format_fuzz_driver.h"

namespace {

void webp_options(std::uint8_t options) {
    using vt::test::HarnessServices;
    HarnessServices::set_state(u"fmx_WebP.lossless", (options & 4) != 0 ? "1" : "0");
    HarnessServices::set_state(u"fmx_WebP.quality", (options & 8) != 0 ? "0" : "80");
    HarnessServices::set_state(u"fmx_WebP.method", (options & 8) != 0 ? "0" : "4");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool lossless = size > 0 && (data[size - 1] & 4) != 0;
    return vt::fuzz::fuzz_format_plugin(data, size, ".webp", lossless, webp_options, false, 0, 0,
                                        /*draft_bit=*/0x10);
}
