// The JPEG XL plug-in's decoder over arbitrary files, through the test host. Saves are lossy at the
// largest distance and the fastest effort, so a picture loaded back must only keep its size; bit
// 7 of the options byte asks for 16 bits too, which must stand for the 8-bit frame within 1;
// bit 6 saves an animation as one and loads it back.

#include "fuzz/animation_round_trip.h"
#include "fuzz/format_fuzz_driver.h"

namespace {

void jxl_options(std::uint8_t /*options*/) {
    vt::test::HarnessServices::set_state(u"fmx_JXL.distance", "150");
    vt::test::HarnessServices::set_state(u"fmx_JXL.effort", "1");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int r = vt::fuzz::fuzz_format_plugin(data, size, ".jxl", false, jxl_options, false,
                                               /*deep_bit=*/0x80, /*deep_tolerance=*/1);
    vt::fuzz::fuzz_animation_round_trip(data, size, ".jxl");
    return r;
}
