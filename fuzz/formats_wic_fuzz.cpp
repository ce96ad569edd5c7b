// The WIC plug-in's JPEG XR decoder over arbitrary files, through the test host; a picture saved
// losslessly and loaded back must come back identical.

#include "fuzz/format_fuzz_driver.h"

namespace {
void lossless(std::uint8_t /*options*/) {
    vt::test::HarnessServices::set_state(u"fmx_WIC.lossless", "1");
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".jxr", /*lossless=*/true, lossless);
}
