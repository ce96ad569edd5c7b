// The EXR plug-in's decoder (and the OpenEXR library under it) over arbitrary files, through the
// test host; a picture saved and loaded back must keep its size (half floats are not the 8-bit
// picture exactly); bits 2 and 3 of the options byte choose the save's compression, bit 7 asks
// for the 16-bit picture too, whose rounding must be the 8-bit frame exactly.

#include "fuzz/format_fuzz_driver.h"

namespace {

void choose_compression(std::uint8_t options) {
    static const char* const kCompressions[4] = {"3", "4", "0", "3"};
    vt::test::HarnessServices::set_state(u"fmx_EXR.compression", kCompressions[options >> 2 & 3]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".exr", /*lossless=*/false, choose_compression,
                                        false, /*deep_bit=*/0x80, /*deep_tolerance=*/0);
}
