// The PSP plug-in's reader over arbitrary files, through the test host. It saves nothing.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".psp", false);
}
