// The XPM plug-in's decoder over arbitrary files, through the test host; a picture saved and
// loaded back must come back identical. Bit 6 of the options byte names the files ".xbm", so
// that the save writes an X bitmap (or refuses a picture that is not black and white); its
// fully transparent pixels come back white, so only the size is compared then.

#include "fuzz/format_fuzz_driver.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const bool bitmap = size > 0 && (data[size - 1] & 0x40) != 0;
    return vt::fuzz::fuzz_format_plugin(data, size, bitmap ? ".xbm" : ".xpm",
                                        /*lossless=*/!bitmap);
}
