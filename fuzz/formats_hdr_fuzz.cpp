// The HDR plug-in's decoders over arbitrary files, through the test host: bit 2 of the options
// byte names the file ".pfm" (a save writes a float map, which must come back identical), else
// ".hdr" (a save writes RGBE, lossy); bit 7 asks for the 16-bit picture too, whose rounding must
// be the 8-bit frame exactly.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool pfm = size > 0 && (data[size - 1] & 4) != 0;
    return vt::fuzz::fuzz_format_plugin(data, size, pfm ? ".pfm" : ".hdr", /*lossless=*/pfm,
                                        nullptr, false, /*deep_bit=*/0x80, /*deep_tolerance=*/0);
}
