#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "image/deep_image.h"

namespace vt::image {
namespace {

TEST(DeepImage, EightBitRoundingIsNearestForEverySample) {
    for (std::uint32_t v = 0; v <= 65535; ++v)
        ASSERT_EQ(to_8bit(static_cast<std::uint16_t>(v)),
                  static_cast<std::uint8_t>(std::lround(v * 255.0 / 65535.0)))
            << v;
}

// A record handed over by a plug-in: samples from malloc, as the interface says.
VtDeepImage record(std::uint32_t width, std::uint32_t height, std::uint32_t channels,
                   std::uint32_t stride, bool with_samples = true) {
    VtDeepImage d{};
    d.width = width;
    d.height = height;
    d.channels = channels;
    d.stride = stride;
    d.bits = 16;
    d.samples = with_samples ? static_cast<std::uint16_t*>(std::calloc(16, 2)) : nullptr;
    return d;
}

TEST(DeepImage, UnsoundRecordsAreFreedAndRefused) {
    const struct {
        const char* what;
        VtDeepImage image;
    } cases[] = {
        {"no width", record(0, 1, 4, 4)},
        {"no height", record(1, 0, 4, 4)},
        {"three channels", record(1, 1, 3, 3)},
        {"a stride shorter than a row", record(2, 1, 4, 7)},
        {"a side beyond 65536", record(65537, 1, 2, 131074)},
        {"more than 250 million pixels", record(65536, 4000, 2, 131072)},
        {"no samples", record(1, 1, 4, 4, false)},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.what);
        DeepImage deep;
        EXPECT_FALSE(deep.adopt(c.image)); // the sanitizer build finds a leak if not freed
        EXPECT_TRUE(deep.empty());
        EXPECT_EQ(c.image.samples, nullptr);
    }
}

TEST(DeepImage, SoundRecordIsTakenOverAndRoundsToPixels) {
    VtDeepImage d = record(2, 2, 4, 8);
    const std::uint16_t samples[16] = {65535, 0,   257,   65535, 0, 32896, 65535, 0,
                                       128,   129, 32767, 32768, 1, 2,     3,     4};
    std::copy(std::begin(samples), std::end(samples), d.samples);
    d.bits = 40; // out of range: taken for 16
    DeepImage deep;
    ASSERT_TRUE(deep.adopt(d));
    EXPECT_EQ(d.samples, nullptr); // ours now
    EXPECT_EQ(deep.record().bits, 16u);
    std::uint32_t pixels[4] = {};
    deep_to_pixels(deep, pixels, 2);
    EXPECT_EQ(pixels[0], 0x00FF0001u); // red 255, green 0, blue 1, opaque
    EXPECT_EQ(pixels[1], 0xFF0080FFu); // alpha 0: fully transparent
    EXPECT_EQ(pixels[2], 0x7F00017Fu); // 128 and 32767 round down, 129 and 32768 up
    EXPECT_EQ(pixels[3], 0xFF000000u);
}

} // namespace
} // namespace vt::image
