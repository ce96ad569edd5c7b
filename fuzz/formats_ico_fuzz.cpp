// The icon plug-in's decoder over arbitrary files, through the test host. Its saves keep the
// picture itself whole as their first image (up to 256 a side), so a picture loaded back must
// have the same pixels.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".ico", false);
}
