// The SVG plug-in's renderer over arbitrary documents, through the test host. It saves nothing.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".svg", false);
}
