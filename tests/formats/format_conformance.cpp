#include "tests/formats/format_conformance.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "tests/formats/png_reference.h"

namespace vt::test {

std::filesystem::path testdata(std::string_view sub) {
    const char* root = std::getenv("VT_SHARED_TESTDATA");
    if (root == nullptr || *root == 0)
        return {};
    const std::filesystem::path p = std::filesystem::path(root) / sub;
    return std::filesystem::is_directory(p) ? p : std::filesystem::path{};
}

std::vector<std::filesystem::path> files_in(const std::filesystem::path& folder,
                                            std::string_view extension) {
    std::vector<std::filesystem::path> out;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder))
        if (entry.is_regular_file() && entry.path().extension() == extension)
            out.push_back(entry.path());
    std::sort(out.begin(), out.end());
    return out;
}

std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

Frame make_picture(std::uint32_t width, std::uint32_t height, bool transparent) {
    Frame f{.width = width, .height = height};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            f.pixels.push_back(bgrt((x * 7 + y) & 0xFF, (y * 13 + 5) & 0xFF, (x * y + 3) & 0xFF,
                                    transparent ? ((x + 2 * y) * 11) & 0xFF : 0));
    return f;
}

Frame smooth_picture(std::uint32_t width, std::uint32_t height, bool transparent) {
    Frame f{.width = width, .height = height};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x)
            f.pixels.push_back(bgrt(x * 255 / width, y * 255 / height,
                                    (x + y) * 127 / (width + height),
                                    transparent ? x * 255 / width : 0));
    return f;
}

int max_difference(std::uint32_t a, std::uint32_t b) {
    if ((a >> 24) == 255 && (b >> 24) == 255)
        return 0;
    int most = 0;
    for (int shift = 0; shift < 32; shift += 8)
        most = std::max(most, std::abs(static_cast<int>((a >> shift) & 0xFF) -
                                       static_cast<int>((b >> shift) & 0xFF)));
    return most;
}

int max_difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    int most = a.size() == b.size() ? 0 : 256;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        most = std::max(most, max_difference(a[i], b[i]));
    return most;
}

int max_difference(const Frame& a, const Frame& b) {
    return a.width != b.width || a.height != b.height ? 256 : max_difference(a.pixels, b.pixels);
}

double mean_difference(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size() && i < b.size(); ++i)
        sum += max_difference(a[i], b[i]);
    return a.empty() ? 0 : sum / static_cast<double>(a.size());
}

std::optional<Frame> png_frame(const std::filesystem::path& file) {
    Frame f;
    std::uint8_t* rgba = nullptr;
    if (reference_png_rgba(file.c_str(), &f.width, &f.height, &rgba) == 0)
        return std::nullopt;
    for (std::size_t i = 0; i < std::size_t{f.width} * f.height; ++i)
        f.pixels.push_back(
            bgrt(rgba[4 * i], rgba[4 * i + 1], rgba[4 * i + 2], 255u - rgba[4 * i + 3]));
    std::free(rgba);
    return f;
}

// FFmpeg's decode of a movie's frames, through PNG files.
std::vector<Frame> ffmpeg_frames(const std::filesystem::path& file) {
    const std::string pattern = file.string() + ".%d.png";
    std::vector<Frame> frames;
    if (!run_tool("ffmpeg -v error -y -i '" + file.string() + "' -fps_mode passthrough '" +
                  pattern + "'"))
        return frames;
    for (int i = 1;; ++i) {
        const std::string png = file.string() + "." + std::to_string(i) + ".png";
        std::optional<Frame> frame = png_frame(png);
        if (!frame)
            return frames;
        frames.push_back(*frame);
        std::filesystem::remove(png);
    }
}

std::vector<Frame> animation_frames(std::uint16_t count) {
    std::vector<Frame> frames;
    for (std::uint16_t i = 0; i < count; ++i) {
        frames.push_back(make_picture(i % 3 == 0 ? 24 : 22, i % 4 == 0 ? 18 : 16, i % 2 == 0));
        std::rotate(frames.back().pixels.begin(), frames.back().pixels.begin() + 13 * i,
                    frames.back().pixels.end());
        frames.back().delay = static_cast<std::uint16_t>(i == 5 ? 0 : 10 * (i + 1));
    }
    return frames;
}

::testing::AssertionResult centred(const Frame& back, const Frame& sent, int tolerance) {
    const std::uint32_t left = (back.width - sent.width) / 2, top = (back.height - sent.height) / 2;
    const bool whole = left == 0 && top == 0 && back.width == sent.width;
    const int corner = max_difference(back.pixels.at(0), whole ? sent.pixels[0] : 0xFF000000u);
    const int inside = max_difference(back.pixels.at((top + 3) * back.width + left + 5),
                                      sent.pixels.at(3 * sent.width + 5));
    if (corner <= tolerance && inside <= tolerance)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "corner off by " << corner << ", inside by " << inside;
}

bool run_tool(const std::string& command) {
    return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

void write_pam(const std::filesystem::path& path, const Frame& frame) {
    std::string out = "P7\nWIDTH " + std::to_string(frame.width) + "\nHEIGHT " +
                      std::to_string(frame.height) +
                      "\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
    for (const std::uint32_t p : frame.pixels)
        for (const int shift : {16, 8, 0, -1})
            out += static_cast<char>(shift < 0 ? 255 - (p >> 24) : (p >> shift) & 0xFF);
    write_bytes(path, out);
}

std::optional<Frame> magick_frame(const std::filesystem::path& file) {
    const std::string pam = file.string() + ".magick.pam";
    if (!run_tool("convert '" + file.string() + "[0]' -auto-orient -depth 8 '" + pam + "'"))
        return std::nullopt;
    const std::string bytes = read_bytes(pam);
    std::filesystem::remove(pam);
    // ImageMagick's PAM: WIDTH, HEIGHT, DEPTH (1-4), MAXVAL 255, TUPLTYPE, ENDHDR.
    const std::size_t end = bytes.find("ENDHDR\n");
    Frame f;
    unsigned depth = 0;
    if (bytes.rfind("P7\n", 0) != 0 || end == std::string::npos ||
        std::sscanf(bytes.c_str(), "P7\nWIDTH %u\nHEIGHT %u\nDEPTH %u", &f.width, &f.height,
                    &depth) != 3 ||
        depth < 1 || depth > 4 || bytes.size() - end - 7 < std::size_t{f.width} * f.height * depth)
        return std::nullopt;
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data() + end + 7);
    for (std::size_t i = 0; i < std::size_t{f.width} * f.height; ++i, p += depth) {
        const bool colour = depth >= 3;
        const std::uint32_t alpha = depth % 2 == 0 ? p[depth - 1] : 255;
        f.pixels.push_back(bgrt(p[0], p[colour ? 1 : 0], p[colour ? 2 : 0], 255 - alpha));
    }
    return f;
}

int magick_corpus(const std::filesystem::path& folder, const char* extension,
                  const std::vector<std::string>& options) {
    const std::filesystem::path source = folder / "source.pam";
    write_pam(source, make_picture(37, 23, true));
    int made = 0;
    for (std::size_t i = 0; i < options.size(); ++i) {
        const std::string out = (folder / (std::to_string(i) + extension)).string();
        made += run_tool("convert '" + source.string() + "' " + options[i] + " '" + out + "'");
    }
    std::filesystem::remove(source);
    return made;
}

void FormatConformance::SetUp() {
    if (!s_library)
        s_library = std::make_unique<PluginLibrary>(plugin_path(GetParam().plugin));
    ASSERT_TRUE(s_library->loaded()) << s_library->error();
    if (GetParam().prepare != nullptr)
        GetParam().prepare();
}

const PluginApi& FormatConformance::api() {
    return s_library->api();
}

Frame FormatConformance::picture(std::uint32_t width, std::uint32_t height,
                                 bool transparent) const {
    const FormatRow& row = GetParam();
    if (row.picture != nullptr)
        return row.picture(width, height, transparent);
    return row.round_trip_tolerance > 0 ? smooth_picture(width, height, transparent)
                                        : make_picture(width, height, transparent);
}

std::string FormatConformance::saved(const Frame& frame, const std::string& file) {
    if (GetParam().sample != nullptr) {
        GetParam().sample(file);
        return read_bytes(file);
    }
    EXPECT_EQ(save_with(api(), file, {frame}).result, VT_OK);
    return read_bytes(file);
}

TEST_P(FormatConformance, CorpusDecodesLikeTheReference) {
    const FormatRow& row = GetParam();
    std::filesystem::path folder;
    if (row.make_corpus != nullptr) {
        folder = m_temp / "corpus";
        std::filesystem::create_directories(folder);
        if (row.make_corpus(folder) == 0)
            GTEST_SKIP() << "no outside encoders for " << row.plugin;
    } else if (row.make_corpus_in != nullptr) {
        folder = m_temp / "corpus";
        std::filesystem::create_directories(folder);
        row.make_corpus_in(folder);
    } else if (row.corpus == nullptr) {
        GTEST_SKIP() << "no corpus for " << row.plugin;
    } else {
        folder = testdata(row.corpus);
        if (folder.empty())
            GTEST_SKIP() << "no conformance images";
    }
    int compared = 0;
    for (const auto& path :
         files_in(folder, row.corpus_extension != nullptr ? row.corpus_extension : row.extension)) {
        SCOPED_TRACE(path.filename().string());
        const std::optional<Frame> reference = row.reference(path);
        const LoadResult loaded = load_with(api(), path.string());
        if (!reference) {
            // Nothing to compare with, often broken on purpose.
            EXPECT_TRUE(whole_or_clean_failure(loaded));
            continue;
        }
        ++compared;
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_FALSE(loaded.frames.empty());
        EXPECT_TRUE(has_entry(loaded.frames[0], "image.bpp="));
        if (!reference->pixels.empty()) {
            EXPECT_LE(max_difference(loaded.frames[0], *reference), row.tolerance);
        }
    }
    EXPECT_EQ(compared, row.compared);
}

TEST_P(FormatConformance, SavedPicturesLoadBackAndDecodeAlikeElsewhere) {
    if (GetParam().sample != nullptr)
        GTEST_SKIP() << "load only";
    const FormatRow& row = GetParam();
    const std::string file = m_temp / (std::string("round") + row.extension);
    for (const bool transparent : {false, true}) {
        if (transparent && !row.keeps_transparency)
            continue;
        for (const auto& [w, h] : {std::pair{1u, 1u}, std::pair{17u, 9u}, std::pair{64u, 48u}}) {
            SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) +
                         (transparent ? " transparent" : " opaque"));
            const Frame original = picture(w, h, transparent);
            saved(original, file);
            const LoadResult loaded = load_with(api(), file);
            ASSERT_EQ(loaded.result, VT_OK);
            ASSERT_EQ(loaded.frames.size() == 1u, !row.adds_sizes || std::max(w, h) <= 16);
            EXPECT_EQ(loaded.warnings, 0);
            EXPECT_LE(max_difference(loaded.frames[0], original), row.round_trip_tolerance);
            // What the codec library itself makes of the file the plug-in wrote.
            const std::optional<Frame> reference =
                row.reference != nullptr ? row.reference(file) : std::nullopt;
            if (reference && !reference->pixels.empty()) {
                EXPECT_LE(max_difference(*reference, original), row.round_trip_tolerance);
            }
        }
    }
}

TEST_P(FormatConformance, LayersAreKeptOrLeftToTheHostAndFrameSetsKept) {
    if (GetParam().sample != nullptr)
        GTEST_SKIP() << "load only";
    const FormatRow& row = GetParam();
    const std::string file = m_temp / (std::string("frames") + row.extension);
    std::vector<Frame> frames;
    for (std::uint16_t i = 0; i < 3; ++i) {
        frames.push_back(picture(20, 16, row.keeps_transparency));
        std::rotate(frames.back().pixels.begin(), frames.back().pixels.begin() + 37 * i,
                    frames.back().pixels.end());
        frames.back().delay = static_cast<std::uint16_t>(40 * (i + 1));
    }
    frames[0].markup = "\r\nanimation.plays=3;";
    const SaveResult layers = save_with(api(), file, frames, 0);
    if (row.layered) {
        ASSERT_EQ(layers.result, VT_OK);
        const LoadResult one = load_with(api(), file);
        ASSERT_EQ(one.result, VT_OK);
        EXPECT_EQ(one.doc_kind, 0);
        ASSERT_EQ(one.frames.size(), frames.size());
        for (std::size_t i = 0; i < frames.size(); ++i) {
            EXPECT_LE(max_difference(one.frames[i], frames[i]), row.round_trip_tolerance) << i;
        }
    } else {
        // A one-picture format leaves layers to the host, which flattens them with their merged
        // metadata and calls again with one layer; nothing is written meanwhile.
        EXPECT_EQ(layers.result, VT_ERR_NEEDS_FLATTENING);
        EXPECT_FALSE(std::filesystem::exists(file));
    }
    if (row.frame_sets == 0)
        return;
    const SaveResult set = save_with(api(), file, frames, row.frame_sets);
    ASSERT_EQ(set.result, VT_OK);
    EXPECT_FALSE(set.composite_used);
    const LoadResult all = load_with(api(), file);
    ASSERT_EQ(all.result, VT_OK);
    EXPECT_EQ(all.doc_kind, row.frame_sets);
    EXPECT_EQ(all.warnings, 0);
    ASSERT_EQ(all.frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_LE(max_difference(all.frames[i], frames[i]), row.round_trip_tolerance) << i;
        if (row.frame_sets == 2) {
            EXPECT_EQ(all.frames[i].delay, frames[i].delay) << i;
        }
    }
    if (row.frame_sets == 2) {
        EXPECT_TRUE(has_entry(all.frames[0], "animation.plays=3;"));
    }
    // A host that keeps fewer frames gets the first ones and a warning.
    const LoadResult fewer = load_with(api(), file, {.max_frames = 2});
    ASSERT_EQ(fewer.result, VT_OK);
    EXPECT_EQ(fewer.frames.size(), 2u);
    EXPECT_EQ(fewer.doc_kind, row.frame_sets);
    EXPECT_EQ(fewer.warnings & VT_WARN_LAYERS_DROPPED, VT_WARN_LAYERS_DROPPED);
}

TEST_P(FormatConformance, EveryCutOfAFileFailsCleanly) {
    const FormatRow& row = GetParam();
    const std::string file = m_temp / (std::string("whole") + row.extension);
    const std::string whole = saved(picture(24, 20, row.keeps_transparency), file);
    ASSERT_FALSE(whole.empty());
    // Every cut of a small file; of a larger one a spread, and every cut of its last bytes.
    const std::size_t step = std::max<std::size_t>(1, whole.size() / 1500);
    const std::size_t tail = whole.size() - std::min<std::size_t>(whole.size(), 256);
    for (std::size_t n = 0; n < whole.size(); n += n < tail ? step : 1) {
        write_bytes(file, whole.substr(0, n));
        const LoadResult cut = load_with(api(), file);
        if (row.cut_keeps_whole_frames && cut.result == VT_OK) {
            EXPECT_FALSE(cut.frames.empty()) << n;
            EXPECT_EQ(cut.warnings & VT_WARN_DATA_LOST, VT_WARN_DATA_LOST) << n;
        } else {
            EXPECT_LT(cut.result, 0) << n;
        }
    }
}

TEST_P(FormatConformance, HostileHeadersFailCleanly) {
    const FormatRow& row = GetParam();
    const struct {
        std::uint32_t width, height;
        std::int32_t result;                        // 0: any failure
    } cases[] = {{15000, 15000, 0},                 // a huge picture in a tiny file
                 {70000, 1, VT_ERR_DIMENSIONS},     // wider than a bitmap
                 {20000, 20000, VT_ERR_DIMENSIONS}, // more pixels than a bitmap
                 {0, 5, 0},
                 {5, 0, 0}};
    int stated = 0;
    for (const auto& c : cases) {
        if (row.header == nullptr)
            break;
        const std::string bytes = row.header(c.width, c.height);
        if (bytes.empty())
            continue;
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        ++stated;
        const std::string file = m_temp / (std::string("hostile") + row.extension);
        write_bytes(file, bytes);
        const LoadResult loaded = load_with(api(), file);
        if (c.result != 0) {
            EXPECT_EQ(loaded.result, c.result);
        } else {
            EXPECT_LT(loaded.result, 0);
        }
        // Refused before any frame was asked for.
        EXPECT_TRUE(loaded.frames.empty());
    }
    EXPECT_GE(stated, row.header != nullptr ? 3 : 0);
    for (const std::string_view junk :
         {std::string_view(), std::string_view("Vantrel: no picture "
                                               "at all, 0123456789")}) {
        const std::string file = m_temp / (std::string("junk") + row.extension);
        write_bytes(file, junk);
        EXPECT_LT(load_with(api(), file).result, 0) << junk.size();
    }
    EXPECT_EQ(load_with(api(), m_temp / "absent").result, VT_ERR_OPEN_READ);
}

TEST_P(FormatConformance, FilesThatOnceCrashedFailCleanly) {
    std::string key = GetParam().plugin + 4; // past "fmx_"
    for (char& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::filesystem::path folder =
        std::filesystem::path(VT_CRASHERS_DIR) / ("formats_" + key + "_fuzz");
    if (!std::filesystem::is_directory(folder))
        GTEST_SKIP() << "no crashers for " << key;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const LoadResult loaded = load_with(api(), entry.path().string());
        EXPECT_TRUE(loaded.result == VT_OK ? !loaded.frames.empty() : loaded.result < 0)
            << entry.path();
    }
}

TEST_P(FormatConformance, FailedSaveLeavesNoFile) {
    if (GetParam().sample != nullptr)
        GTEST_SKIP() << "load only";
    const std::string file = m_temp / (std::string("missing-folder/out") + GetParam().extension);
    EXPECT_EQ(save_with(api(), file, {picture(4, 4, false)}).result, VT_ERR_OPEN_WRITE);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_P(FormatConformance, TimeLimitThatHasRunOutStopsTheLoad) {
    const std::string file = m_temp / (std::string("late") + GetParam().extension);
    saved(picture(8, 8, false), file);
    const LoadResult late = load_with(api(), file, {.time_limit_ms = 5, .elapsed_ms = 1000});
    EXPECT_EQ(late.result, VT_ERR_TIMEOUT);
    EXPECT_EQ(late.warnings & VT_WARN_TIMEOUT, VT_WARN_TIMEOUT);
    EXPECT_TRUE(late.frames.empty());
    EXPECT_EQ(load_with(api(), file, {.time_limit_ms = 60000}).result, VT_OK);
}

TEST_P(FormatConformance, ChecksPreferTheSignatureAndRefuseTheProbes) {
    const FormatRow& row = GetParam();
    const std::string head =
        saved(picture(8, 8, false), m_temp / (std::string("head") + row.extension)).substr(0, 32);
    std::u16string extension;
    for (const char* c = row.extension; *c != 0; ++c)
        extension += static_cast<char16_t>(*c);
    const int both = load_score(check_with(api().check_load, extension, head));
    const int bytes_only = load_score(check_with(api().check_load, u"", head));
    const int name_only = load_score(check_with(api().check_load, extension, "Vantrel."));
    EXPECT_GT(both, bytes_only);
    EXPECT_GT(bytes_only, 1000);
    EXPECT_GT(name_only, 0);
    EXPECT_LT(name_only, 1000);
    EXPECT_EQ(load_score(check_with(api().check_load, u".***", "abcdefgh")), 0);
    EXPECT_EQ(check_with(api().check_save, extension).level > 0, row.sample == nullptr);
    for (const char16_t* probe : {u".***", u".sys", u".vxd", u".txt"})
        EXPECT_EQ(check_with(api().check_save, probe).level, 0);
}

} // namespace vt::test
