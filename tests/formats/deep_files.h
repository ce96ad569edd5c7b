#pragma once
// What the tests of the formats that read or write 16 bits per channel share: an outside
// decoder's 16-bit samples, a deep picture as red, green, blue, alpha, the 8-bit pixels it
// stands for, and a deep picture of every kind of sample.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/deep_image.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {

// ImageMagick's picture as 16-bit RGBA samples, native order: of `source`, a file (with
// "[i]" its i-th picture) or the arguments that draw one; empty when it cannot.
inline std::vector<std::uint16_t> magick_rgba16(const std::string& source,
                                                const std::filesystem::path& scratch) {
    const std::filesystem::path raw = scratch.string() + ".raw";
    if (!run_tool("convert " + source + " -depth 16 -endian LSB rgba:" + vt::test::quoted(raw)))
        return {};
    const std::string bytes = read_bytes(raw);
    std::filesystem::remove(raw);
    std::vector<std::uint16_t> out(bytes.size() / 2);
    for (std::size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                            static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
    return out;
}
inline std::vector<std::uint16_t> magick_rgba16(const std::filesystem::path& file,
                                                const char* picture = "") {
    return magick_rgba16(vt::test::quoted(file.string() + picture), file);
}

// ImageMagick's decode of a file as a red, green, blue, alpha deep frame of `bits` 16; empty
// when it cannot read it.
inline DeepFrame magick_deep(const std::filesystem::path& file) {
    const std::optional<Frame> size = magick_frame(file);
    if (!size)
        return {};
    return {size->width, size->height, 4, 16, magick_rgba16(file, "")};
}

// A deep picture of red, green, blue, alpha samples as grey, alpha (the red ones).
inline DeepFrame grey_of(const DeepFrame& d) {
    DeepFrame grey{d.width, d.height, 2, d.bits, {}};
    for (std::size_t i = 0; i + 3 < d.samples.size(); i += 4)
        grey.samples.insert(grey.samples.end(), {d.samples[i], d.samples[i + 3]});
    return grey;
}

// The 8-bit pixels a deep picture stands for: each sample rounded.
inline std::vector<std::uint32_t> rounded(const DeepFrame& d) {
    const std::vector<std::uint16_t> rgba = deep_rgba(d);
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i + 3 < rgba.size(); i += 4)
        out.push_back(bgrt(image::to_8bit(rgba[i]), image::to_8bit(rgba[i + 1]),
                           image::to_8bit(rgba[i + 2]), 255u - image::to_8bit(rgba[i + 3])));
    return out;
}

// Samples of every value, with `channels` 4 or 2; with `transparent` an alpha that runs from
// none to opaque (colours kept under it), else opaque.
inline DeepFrame noisy_deep(std::uint32_t width, std::uint32_t height, std::uint32_t channels,
                            bool transparent) {
    DeepFrame d{width, height, channels, 16, {}};
    std::uint32_t seed = 12345;
    for (std::uint32_t i = 0; i < width * height * channels; ++i) {
        seed = seed * 1103515245u + 12345u;
        const bool alpha = i % channels == channels - 1;
        d.samples.push_back(
            !alpha         ? static_cast<std::uint16_t>(seed >> 12)
            : !transparent ? std::uint16_t{0xFFFF}
                           : static_cast<std::uint16_t>(i * 65535 / (width * height * channels)));
    }
    return d;
}

// The 8-bit frame that goes with a deep picture.
inline Frame frame_of(const DeepFrame& d) {
    Frame f{.width = d.width, .height = d.height};
    f.pixels = rounded(d);
    return f;
}

} // namespace vt::test
