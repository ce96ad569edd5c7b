#pragma once
// What the format plug-in tests share: the conformance folder, files in and out, pictures the
// tests make themselves and a fixture that opens one plug-in.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/plugin_harness.h"
#include "tests/support/temp_folder.h"

namespace vt::test {

// The shared conformance images, or empty when this machine has none.
inline std::filesystem::path testdata(std::string_view sub) {
    const char* root = std::getenv("VT_SHARED_TESTDATA");
    if (root == nullptr || *root == 0)
        return {};
    const std::filesystem::path p = std::filesystem::path(root) / sub;
    return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

inline std::vector<std::filesystem::path> files_in(const std::filesystem::path& folder,
                                                   std::string_view extension) {
    std::vector<std::filesystem::path> out;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == extension)
            out.push_back(entry.path());
    std::sort(out.begin(), out.end());
    return out;
}

inline std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t bgrt(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t t = 0) {
    return b | (g << 8) | (r << 16) | (t << 24);
}

// A picture with every kind of pixel a save must keep: gradients, odd values, and with
// `transparent` a transparency that varies over the picture.
inline Frame make_picture(std::uint32_t width, std::uint32_t height, bool transparent) {
    Frame f;
    f.width = width;
    f.height = height;
    f.pixels.resize(static_cast<std::size_t>(width) * height);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            f.pixels[static_cast<std::size_t>(y) * width + x] =
                bgrt((x * 7 + y) & 0xFF, (y * 13 + 5) & 0xFF, (x * y + 3) & 0xFF,
                     transparent ? ((x + 2 * y) * 11) & 0xFF : 0);
    return f;
}

// Little-endian writers for hand-made headers.
inline void le16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void le32(std::string& s, std::uint32_t v) {
    le16(s, v & 0xFFFF);
    le16(s, v >> 16);
}

// Opens one plug-in from the build's Plugins folder for a test suite.
class PluginTest : public ::testing::Test {
protected:
    static void open(std::string_view name) {
        s_library = std::make_unique<PluginLibrary>(plugin_path(name));
        ASSERT_TRUE(s_library->loaded()) << s_library->error();
    }
    static void TearDownTestSuite() { s_library.reset(); }
    static const PluginApi& api() { return s_library->api(); }

    static inline std::unique_ptr<PluginLibrary> s_library;
    TempFolder m_temp;
};

} // namespace vt::test
