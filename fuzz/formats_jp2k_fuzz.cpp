// The JP2K plug-in's decoder over arbitrary files, through the test host; a picture saved and
// loaded back must come back identical; bit 7 of the options byte asks for 16 bits too, bit 4
// accepts a draft.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    return vt::fuzz::fuzz_format_plugin(data, size, ".jp2", /*lossless=*/true, nullptr, false,
                                        /*deep_bit=*/0x80, 0, /*draft_bit=*/0x10);
}
