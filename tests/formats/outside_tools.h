#pragma once
// Outside encoders and decoders that make the corpus of a format at test time and decode files
// for comparison, run through the shell with their output discarded.

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {

inline bool run_tool(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string quoted(const std::filesystem::path& path) {
    return "'" + path.string() + "'";
}

// What `command` (run with the file and a PNG name appended) decodes the file to.
inline std::optional<Frame> decoded_by(const std::string& command,
                                       const std::filesystem::path& file) {
    const std::filesystem::path png = file.string() + ".reference.png";
    if (!run_tool(command + " " + quoted(file) + " " + quoted(png)))
        return std::nullopt;
    std::optional<Frame> frame = png_frame(png);
    std::filesystem::remove(png);
    return frame;
}

// A deep picture's samples as RGBA (grey repeated).
inline std::vector<std::uint16_t> as_rgba(const DeepFrame& d) {
    if (d.channels == 4)
        return d.samples;
    std::vector<std::uint16_t> out;
    for (std::size_t i = 0; i + 1 < d.samples.size(); i += 2)
        out.insert(out.end(), {d.samples[i], d.samples[i], d.samples[i], d.samples[i + 1]});
    return out;
}

// ImageMagick's test pictures: an opaque gradient and a transparent radial one.
inline void magick_sources(const std::filesystem::path& folder) {
    run_tool("convert -size 40x30 gradient:red-blue PNG24:" + quoted(folder / "opaque.png"));
    run_tool("convert -size 33x17 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)' PNG32:" +
             quoted(folder / "alpha.png"));
}

} // namespace vt::test
