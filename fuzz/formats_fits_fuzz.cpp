// The FITS plug-in's reader over arbitrary files, through the test host. It saves nothing; bit 7
// of the options byte asks for 16 bits too.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".fits", false, nullptr, false,
                                        /*deep_bit=*/0x80);
}
