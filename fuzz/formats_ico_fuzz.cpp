// The icon plug-in's decoder over arbitrary files, through the test host. Its saves write a set
// of sizes of the picture, so a save is only checked to load back. Bit 6 of the options byte
// names the files ".cur", so that the save writes a cursor.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool cursor = size > 0 && (data[size - 1] & 0x40) != 0;
    return vt::fuzz::fuzz_format_plugin(data, size, cursor ? ".cur" : ".ico", false, nullptr, true);
}
