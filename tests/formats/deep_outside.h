#pragma once
// Deep pictures seen by ImageMagick, for the tests of the formats that read and write 16 bits
// through outside tools: a file's 16-bit samples, and the pair of frames a host would hand a
// save (the deep picture and the 8-bit picture it stands for).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "image/deep_image.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {

// ImageMagick's decode of a file as red, green, blue, alpha 16-bit samples, in a deep frame of
// the file's size and `bits` 16; empty when it cannot read it.
inline DeepFrame magick_deep(const std::filesystem::path& file) {
    const std::optional<Frame> size = magick_frame(file);
    const std::filesystem::path raw = file.string() + ".raw";
    if (!size ||
        !run_tool("convert " + quoted(file) + " -depth 16 -endian LSB rgba:" + quoted(raw)))
        return {};
    const std::string bytes = read_bytes(raw);
    std::filesystem::remove(raw);
    DeepFrame d{size->width, size->height, 4, 16, std::vector<std::uint16_t>(bytes.size() / 2)};
    for (std::size_t i = 0; i < d.samples.size(); ++i)
        d.samples[i] = static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[2 * i]) |
                                                  static_cast<std::uint8_t>(bytes[2 * i + 1]) << 8);
    return d;
}

// The 8-bit frame a red, green, blue, alpha deep picture stands for: the host's rounding.
inline Frame eight_bit_frame(const DeepFrame& d) {
    Frame f{d.width, d.height};
    for (std::size_t i = 0; i + 3 < d.samples.size(); i += 4)
        f.pixels.push_back(bgrt(image::to_8bit(d.samples[i]), image::to_8bit(d.samples[i + 1]),
                                image::to_8bit(d.samples[i + 2]),
                                255u - image::to_8bit(d.samples[i + 3])));
    return f;
}

// A deep picture of red, green, blue, alpha samples as grey, alpha (the red ones).
inline DeepFrame grey_of(const DeepFrame& d) {
    DeepFrame grey{d.width, d.height, 2, d.bits, {}};
    for (std::size_t i = 0; i + 3 < d.samples.size(); i += 4)
        grey.samples.insert(grey.samples.end(), {d.samples[i], d.samples[i + 3]});
    return grey;
}

} // namespace vt::test
