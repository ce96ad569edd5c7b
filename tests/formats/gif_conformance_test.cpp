// The GIF conformance suite: each test's .conf names a file, its screen size and the frames a
// reader should show (raw RGBA), with their delays.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/formats/gif_test_util.h"

namespace vt::test {
namespace {

using Section = std::map<std::string, std::string>;

std::string trimmed(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    const auto last = s.find_last_not_of(" \t\r");
    return first == std::string::npos ? std::string{} : s.substr(first, last - first + 1);
}

// The .conf: "[section]" headers, "key = value" lines, "#" comments.
std::map<std::string, Section> read_conf(const std::filesystem::path& path) {
    std::map<std::string, Section> sections;
    std::istringstream in(read_bytes(path));
    std::string line, current;
    while (std::getline(in, line)) {
        line = trimmed(line);
        if (line.empty() || line[0] == '#')
            continue;
        if (line.front() == '[' && line.back() == ']') {
            current = line.substr(1, line.size() - 2);
            continue;
        }
        const auto eq = line.find('=');
        if (eq != std::string::npos)
            sections[current][trimmed(line.substr(0, eq))] = trimmed(line.substr(eq + 1));
    }
    return sections;
}

std::vector<std::string> split_list(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');)
        if (!trimmed(item).empty())
            out.push_back(trimmed(item));
    return out;
}

std::vector<std::uint32_t> rgba_pixels(const std::filesystem::path& path) {
    const std::string bytes = read_bytes(path);
    std::vector<std::uint32_t> out;
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4) {
        const auto c = [&](std::size_t k) { return static_cast<std::uint8_t>(bytes[i + k]); };
        out.push_back(bgrt(c(0), c(1), c(2), 255u - c(3)));
    }
    return out;
}

TEST_F(GifPlugin, ConformanceSuiteFramesMatch) {
    const auto folder = testdata("gif-pygif");
    if (folder.empty())
        GTEST_SKIP() << "no conformance images";
    std::istringstream list(read_bytes(folder / "TESTS"));
    int compared = 0, refused = 0;
    for (std::string name; std::getline(list, name);) {
        name = trimmed(name);
        if (name.empty())
            continue;
        SCOPED_TRACE(name);
        auto conf = read_conf(folder / (name + ".conf"));
        const Section& config = conf["config"];
        const std::string gif_path = (folder / config.at("input")).string();
        const LoadResult loaded = load_with(api(), gif_path);
        std::vector<std::string> frames =
            split_list(config.count("frames") ? config.at("frames") : std::string{});
        if (name == "plain-text") {
            // Its text is not drawn by any reader we follow; the image after it loads.
            EXPECT_EQ(loaded.result, VT_OK);
            continue;
        }
        // Code size 11: giflib reads at most 8-bit codes to start with, as pixel indices are
        // bytes, so the file is refused as invalid data.
        if (name == "max-codes")
            frames.clear();
        if (frames.empty()) {
            EXPECT_LT(loaded.result, 0);
            EXPECT_NE(loaded.result, VT_ERR_INTERNAL);
            ++refused;
            continue;
        }
        // "Force animation" marks files whose images carry no delay: a file that asks to loop
        // plays them one by one, any other shows them together, as its last frame.
        if (config.count("force-animation") && config.at("force-animation") == "yes" &&
            read_bytes(gif_path).find("NETSCAPE2.0") == std::string::npos)
            frames.erase(frames.begin(), frames.end() - 1);
        EXPECT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames.size(), frames.size());
        if (loaded.result != VT_OK || loaded.frames.size() != frames.size())
            continue;
        EXPECT_EQ(loaded.doc_kind, frames.size() > 1 ? 2 : 0);
        const auto width = static_cast<std::uint32_t>(std::stoul(config.at("width")));
        const auto height = static_cast<std::uint32_t>(std::stoul(config.at("height")));
        for (std::size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE(frames[i]);
            const Section& expected = conf[frames[i]];
            const Frame& f = loaded.frames[i];
            EXPECT_EQ(f.width, width);
            EXPECT_EQ(f.height, height);
            const int delay = expected.count("delay") ? std::stoi(expected.at("delay")) : 0;
            EXPECT_EQ(f.delay, delay * 10);
            EXPECT_TRUE(expected.count("pixels"));
            EXPECT_EQ(count_differences(f.pixels, rgba_pixels(folder / expected.at("pixels"))), 0u);
        }
        ++compared;
    }
    EXPECT_EQ(compared, 74);
    EXPECT_EQ(refused, 9);
}

} // namespace
} // namespace vt::test
