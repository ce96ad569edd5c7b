// The AVI plug-in over arbitrary files, through the test host: without the host's video
// services a load ends at the header check, and a picture saved and loaded must come back
// at the same size or fail cleanly.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".avi", /*lossless=*/false);
}
