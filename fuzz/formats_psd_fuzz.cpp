// The PSD plug-in's decoder over arbitrary files, through the test host; a picture saved and
// loaded back must come back identical; bit 7 of the options byte asks for 16 bits too, bit 6
// names the files ".psb" so that the save writes the large layout.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool large = size > 0 && (data[size - 1] & 0x40) != 0;
    return vt::fuzz::fuzz_format_plugin(data, size, large ? ".psb" : ".psd", /*lossless=*/true,
                                        nullptr, false,
                                        /*deep_bit=*/0x80);
}
