#pragma once
// What the format plug-in tests share: the conformance folder, files in and out, pictures the
// tests make themselves, a fixture that opens one plug-in, and the conformance harness. A format
// gives one `FormatRow`; every check that holds for all formats then runs on it.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tests/support/plugin_harness.h"
#include "tests/support/temp_folder.h"

namespace vt::test {

// The shared conformance images, or empty when this machine has none.
std::filesystem::path testdata(std::string_view sub);
// Declares `var`, the conformance folder `sub`; without it the test is skipped.
#define VT_TESTDATA_OR_SKIP(var, sub)                                                              \
    const auto var = testdata(sub);                                                                \
    if (var.empty())                                                                               \
    GTEST_SKIP() << "no conformance images"
// The files below `folder` (recursively) whose extension is `extension`, sorted.
std::vector<std::filesystem::path> files_in(const std::filesystem::path& folder,
                                            std::string_view extension);
std::string read_bytes(const std::filesystem::path& path);
void write_bytes(const std::filesystem::path& path, std::string_view bytes);

inline std::uint32_t bgrt(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t t = 0) {
    return b | (g << 8) | (r << 16) | (t << 24);
}

// A picture with every kind of pixel a save must keep: gradients, odd values, and with
// `transparent` a transparency that varies over the picture.
Frame make_picture(std::uint32_t width, std::uint32_t height, bool transparent);
// `size` bytes that repeat nowhere nearby, for profiles and other blocks a file carries.
inline std::vector<std::uint8_t> block_bytes(std::size_t size) {
    std::vector<std::uint8_t> out(size);
    for (std::size_t i = 0; i < size; ++i)
        out[i] = static_cast<std::uint8_t>(i * 31 + (i >> 7));
    return out;
}
// A picture without sharp edges, the kind lossy coding is made for.
Frame smooth_picture(std::uint32_t width, std::uint32_t height, bool transparent = false);
// An animation of `count` frames of three sizes up to 24 x 18, every other one transparent,
// frame i shown 10 (i + 1) ms but frame 5, which states no delay.
std::vector<Frame> animation_frames(std::uint16_t count);
// Whether frame `back` is `sent` centred on its larger canvas, clear around it, within
// `tolerance`: its corner and a pixel inside.
::testing::AssertionResult centred(const Frame& back, const Frame& sent, int tolerance);

// The largest difference of one channel, transparency included; two fully transparent pixels
// are equal whatever their colour.
int max_difference(std::uint32_t a, std::uint32_t b);
// The same over two pictures or rows of pixels; 256 when their sizes differ.
int max_difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);
int max_difference(const Frame& a, const Frame& b);
// The mean over the pixels of their largest channel difference, for lossy coding.
double mean_difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b);

// Whether the frame's markup holds `entry`; the markup is the message when not.
inline ::testing::AssertionResult has_entry(const Frame& f, std::string_view entry) {
    if (f.markup.find(entry) != std::string::npos)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "no " << entry << " in" << f.markup;
}

// The frame's "PHYS" chunk as "x y in" or "x y cm"; empty without one.
inline std::string phys_text(const Frame& f) {
    const auto phys = f.chunks.find(0x53594850u); // "PHYS"
    if (phys == f.chunks.end() || phys->second.size() < 13)
        return {};
    const std::uint8_t* p = phys->second.data();
    return std::to_string(p[4] | p[5] << 8 | p[6] << 16) + " " +
           std::to_string(p[8] | p[9] << 8 | p[10] << 16) + (p[12] == 1 ? " cm" : " in");
}

// Whether a load kept a frame or failed for a reason a file can give (not a host failure).
inline ::testing::AssertionResult whole_or_clean_failure(const LoadResult& r) {
    if (r.result == VT_OK
            ? !r.frames.empty()
            : r.result == VT_ERR_CORRUPT_OR_UNSUPPORTED || r.result == VT_ERR_NOT_IMPLEMENTED ||
                  r.result == VT_ERR_DIMENSIONS || r.result == VT_ERR_READ ||
                  r.result == VT_ERR_INVALID_DATA)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "result " << r.result << ", " << r.frames.size() << " frames";
}

// libpng's own decode of a PNG file as a frame (16-bit samples scaled, gamma untouched).
std::optional<Frame> png_frame(const std::filesystem::path& file);

// Outside encoders and decoders run at test time: a shell command's success, a picture as a PAM
// file (which every outside encoder reads), and ImageMagick's decode of a file through a PNG.
bool run_tool(const std::string& command);
// FFmpeg's decode of a movie's or an animation's frames, through PNG files; none without ffmpeg.
std::vector<Frame> ffmpeg_frames(const std::filesystem::path& file);
void write_pam(const std::filesystem::path& path, const Frame& frame);
std::optional<Frame> magick_frame(const std::filesystem::path& file);
// ImageMagick's files of one picture (37 x 23, transparent) in `folder`, "<i><extension>" made
// with the i-th of `options`; how many it made, 0 without ImageMagick.
int magick_corpus(const std::filesystem::path& folder, const char* extension,
                  const std::vector<std::string>& options);

// Little-endian writers for hand-made headers.
inline void le16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void le32(std::string& s, std::uint32_t v) {
    le16(s, v & 0xFFFF);
    le16(s, v >> 16);
}

// A hand-made file and what loading it must answer.
struct Refusal {
    const char* what;
    std::string bytes;
    std::int32_t result;
};

// Opens one plug-in from the build's Plugins folder for a test suite.
class PluginTest : public ::testing::Test {
protected:
    static void open(std::string_view name) {
        s_library = std::make_unique<PluginLibrary>(plugin_path(name));
        ASSERT_TRUE(s_library->loaded()) << s_library->error();
    }
    static void TearDownTestSuite() { s_library.reset(); }
    static const PluginApi& api() { return s_library->api(); }

    // Loads `bytes` written to a file.
    LoadResult load_bytes(std::string_view bytes, const LoadOptions& options = {}) {
        const std::string file = m_temp / "made";
        write_bytes(file, bytes);
        return load_with(api(), file, options);
    }

    void expect_results(const std::vector<Refusal>& cases) {
        for (const Refusal& c : cases)
            EXPECT_EQ(load_bytes(c.bytes).result, c.result) << c.what;
    }

    static inline std::unique_ptr<PluginLibrary> s_library;
    TempFolder m_temp;
};

// One format's row of the conformance harness.
struct FormatRow {
    const char* plugin;    // "fmx_PNG"
    const char* extension; // of the files it saves, ".png"
    // The smallest file that claims a picture of width x height with its pixel data left out;
    // empty when the format cannot state that size; null when it cannot be made by hand.
    std::string (*header)(std::uint32_t width, std::uint32_t height);
    // A decode that is not the plug-in's: the codec library's own, or an outside tool's rendering
    // found beside the file. nullopt: nothing to compare for this file; a frame without pixels:
    // the file must load, but there is nothing to compare it with.
    std::optional<Frame> (*reference)(const std::filesystem::path& file) = nullptr;
    // Folder under the shared test data; its files without a reference must load or fail
    // cleanly.
    const char* corpus = nullptr;
    // Or a corpus made at test time by outside encoders in `folder`: how many files it made, 0
    // when the encoders are missing.
    int (*make_corpus)(const std::filesystem::path& folder) = nullptr;
    const char* corpus_extension = nullptr;
    int compared = 0;             // corpus files that have a reference
    int tolerance = 0;            // per channel, of a corpus decode against its reference
    int round_trip_tolerance = 0; // 0: the save is lossless
    bool keeps_transparency = true;
    // The document kind its frame sets keep (1 pages, 2 an animation with delays and a loop
    // count); 0: a frame set is saved as the host's composite.
    std::uint8_t frame_sets = 0;
    // A cut file may load what it holds (its whole frames, a JPEG's complete rows), flagged as
    // data lost.
    bool cut_keeps_whole_frames = false;
    // The pictures it saves; make_picture when not given.
    Frame (*picture)(std::uint32_t width, std::uint32_t height, bool transparent) = nullptr;
    // Sets the state entries its saves need, before each check.
    void (*prepare)() = nullptr;
    // Fills a folder with the corpus at test time (outside encoders) instead of the shared one.
    void (*make_corpus_in)(const std::filesystem::path& folder) = nullptr;
    // A save adds smaller copies of the picture (an icon's sizes): it loads back as the first
    // of several frames.
    bool adds_sizes = false;
    // A layered format: a document of kind 0 keeps its frames as layers.
    bool layered = false;
    // A load-only format: writes a small file of the format by an outside tool, where the checks
    // would save one; the save checks are skipped.
    void (*sample)(const std::filesystem::path& file) = nullptr;
};

class FormatConformance : public ::testing::TestWithParam<FormatRow> {
protected:
    void SetUp() override;
    static void TearDownTestSuite() { s_library.reset(); }
    // The row's plug-in, opened by the first test.
    const PluginApi& api();
    Frame picture(std::uint32_t width, std::uint32_t height, bool transparent) const;
    // The row's picture saved to a file; its bytes.
    std::string saved(const Frame& picture, const std::string& file);

    static inline std::unique_ptr<PluginLibrary> s_library;
    TempFolder m_temp;
};

// Instantiates the harness for one row: VT_FORMAT_CONFORMANCE(Png, FormatRow{...}).
#define VT_FORMAT_CONFORMANCE(name, ...)                                                           \
    INSTANTIATE_TEST_SUITE_P(name, FormatConformance, ::testing::Values(__VA_ARGS__),              \
                             [](const auto& row) { return std::string(row.param.plugin); })

} // namespace vt::test
