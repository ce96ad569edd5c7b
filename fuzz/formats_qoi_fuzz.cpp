// The QOI plug-in's decoder over arbitrary files, through the test host; a picture saved and
// loaded back must come back identical.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".qoi", /*lossless=*/true);
}
