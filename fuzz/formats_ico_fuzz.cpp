// The icon plug-in's decoder over arbitrary files, through the test host. Its saves write a set
// of sizes of the picture, so a save is only checked to load back.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".ico", false, nullptr, true);
}
