// The Krita plug-in's reader (zip, maindoc.xml, the merged PNG) over arbitrary files, through
// the test host.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".kra", /*lossless=*/true);
}
