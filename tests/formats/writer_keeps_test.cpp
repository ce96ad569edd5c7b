// What every writer says it keeps (its save answer's keeps) is true: each declared item is saved
// through the plug-in and read back by it. A writer that says nothing fails here, so that every
// plug-in answers.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <lcms2.h>

#include "plugins/host_services.h"
#include "plugins/load_hints.h"
#include "sdk/kit/markup.h"
#include "sdk/kit/resolution.h"
#include "tests/formats/wide_profile.h"
#include "tests/support/plugin_harness.h"
#include "tests/support/temp_folder.h"

namespace vt::test {
namespace {

constexpr std::uint8_t kDocLayers = 0, kDocPages = 1, kDocAnimation = 2;

// The red primary a profile maps full red to, as X and Y of its white-adapted colorant.
std::pair<double, double> red_of(const std::vector<std::uint8_t>& icc) {
    cmsHPROFILE p = cmsOpenProfileFromMem(icc.data(), static_cast<cmsUInt32Number>(icc.size()));
    if (p == nullptr)
        return {0, 0};
    const auto* red = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, cmsSigRedColorantTag));
    const std::pair<double, double> xy = red ? std::pair{red->X, red->Y} : std::pair{0.0, 0.0};
    cmsCloseProfile(p);
    return xy;
}

// A w x h frame of one colour (B, G, R, transparency as the engine stores it).
Frame frame(std::uint32_t w, std::uint32_t h, std::uint32_t pixel) {
    Frame f;
    f.width = w;
    f.height = h;
    f.pixels.assign(std::size_t{w} * h, pixel);
    return f;
}

std::vector<std::uint8_t> phys_300() {
    std::uint8_t chunk[kit::kPhysSize];
    kit::store_phys(kit::resolution_per_unit(300, 300, false), chunk);
    return {chunk, chunk + kit::kPhysSize};
}

struct Writer {
    const char* plugin;
    const char* extension;
};

// Every writer, and each extension whose answer differs.
constexpr Writer kWriters[] = {
    {"fmx_AVI", ".avi"},   {"fmx_BMP", ".bmp"},   {"fmx_DDS", ".dds"},  {"fmx_GIF", ".gif"},
    {"fmx_HEIF", ".avif"}, {"fmx_HEIF", ".heic"}, {"fmx_ICO", ".ico"},  {"fmx_JP2K", ".jp2"},
    {"fmx_JP2K", ".j2k"},  {"fmx_JP2K", ".mj2"},  {"fmx_JPEG", ".jpg"}, {"fmx_JXL", ".jxl"},
    {"fmx_ORA", ".ora"},   {"fmx_PCX", ".pcx"},   {"fmx_PNG", ".png"},  {"fmx_PNM", ".pam"},
    {"fmx_PNM", ".ppm"},   {"fmx_PSD", ".psd"},   {"fmx_TGA", ".tga"},  {"fmx_TIFF", ".tif"},
    {"fmx_WebP", ".webp"}, {"fmx_WIC", ".jxr"},   {"fmx_XCF", ".xcf"},  {"fmx_XPM", ".xpm"},
    {"fmx_PSD", ".psb"},   {"fmx_ICO", ".cur"},   {"fmx_XPM", ".xbm"},  {"fmx_QOI", ".qoi"},
    {"fmx_HDR", ".hdr"},   {"fmx_HDR", ".pfm"},   {"fmx_EXR", ".exr"},
};

class WriterKeeps : public ::testing::TestWithParam<Writer> {
protected:
    static void SetUpTestSuite() {
        // AVI frames are read back through the host's video helper.
        ::setenv("VANTREL_PATH", std::filesystem::path(VT_PLUGINS_DIR).parent_path().c_str(), 1);
        HarnessServices::basic_query() = plugins::basic_query_table();
    }

    // Saves `frames` as `doc_kind` and loads the file back; an encoder that is not installed
    // (HEVC) skips.
    LoadResult round_trip(const std::vector<Frame>& frames, std::uint8_t doc_kind,
                          const char* what) {
        const std::string file = m_temp / (std::string(what) + GetParam().extension);
        const SaveResult saved = save_with(m_library.api(), file, frames, doc_kind);
        if (saved.result == VT_ERR_COMPONENT_MISSING)
            return {};
        EXPECT_EQ(saved.result, VT_OK) << what;
        return load_with(m_library.api(), file);
    }

    PluginLibrary m_library{plugin_path(GetParam().plugin)};
    TempFolder m_temp;
};

TEST_P(WriterKeeps, WhatTheWriterDeclaresComesBack) {
    ASSERT_TRUE(m_library.loaded()) << m_library.error();
    const std::u16string ext(GetParam().extension,
                             GetParam().extension +
                                 std::char_traits<char>::length(GetParam().extension));
    const FilterCheck answer = check_with(m_library.api().check_save, ext);
    ASSERT_EQ(answer.level, 100);
    const unsigned keeps = answer.keeps;
    ASSERT_NE(keeps & VT_KEEPS_DECLARED, 0u) << "the writer does not say what it keeps";

    if (keeps & VT_KEEPS_PROFILE) {
        Frame f = frame(16, 16, 0x00407FC0);
        const std::vector<std::uint8_t> icc = adobe_rgb_profile();
        f.chunks[kit::kTagIcc] = icc;
        const LoadResult back = round_trip({f}, kDocLayers, "profile");
        if (back.result == VT_OK) {
            ASSERT_FALSE(back.frames.empty());
            const auto kept = back.frames[0].chunks.find(kit::kTagIcc);
            ASSERT_NE(kept, back.frames[0].chunks.end()) << "the profile is dropped";
            const auto [x, y] = red_of(kept->second);
            const auto [want_x, want_y] = red_of(icc);
            EXPECT_NEAR(x, want_x, 0.002);
            EXPECT_NEAR(y, want_y, 0.002);
        }
    }
    if (keeps & VT_KEEPS_ALPHA) {
        // Half transparent: on-and-off transparency cannot keep it.
        const LoadResult back = round_trip({frame(16, 16, 0x80407FC0)}, kDocLayers, "alpha");
        if (back.result == VT_OK) {
            ASSERT_FALSE(back.frames.empty());
            EXPECT_NEAR(static_cast<int>(back.frames[0].pixels[17] >> 24), 0x80, 6);
        }
    }
    if (keeps & VT_KEEPS_RESOLUTION) {
        Frame f = frame(16, 16, 0x00407FC0);
        f.chunks[kit::kTagPhys] = phys_300();
        const LoadResult back = round_trip({f}, kDocLayers, "resolution");
        if (back.result == VT_OK) {
            ASSERT_FALSE(back.frames.empty());
            const auto phys = back.frames[0].chunks.find(kit::kTagPhys);
            ASSERT_NE(phys, back.frames[0].chunks.end()) << "the resolution is dropped";
            const kit::PrintResolution r = kit::read_phys(phys->second);
            EXPECT_NEAR(r.x_dpi(), 300, 1);
            EXPECT_NEAR(r.y_dpi(), 300, 1);
        }
    }
    // Three pictures told apart by their colours, in order.
    const std::uint32_t colours[] = {0x00C00000, 0x0000C000, 0x000000C0};
    if (keeps & VT_KEEPS_PAGES) {
        std::vector<Frame> pages;
        for (const std::uint32_t c : colours)
            pages.push_back(frame(12, 8, c));
        const LoadResult back = round_trip(pages, kDocPages, "pages");
        if (back.result == VT_OK) {
            ASSERT_EQ(back.frames.size(), 3u);
            for (std::size_t i = 0; i < 3; ++i)
                EXPECT_EQ(back.frames[i].pixels[0] & 0xFFFFFF, colours[i]) << "page " << i;
        }
    }
    if (keeps & VT_KEEPS_LAYERS) {
        std::vector<Frame> layers{frame(20, 16, colours[0]), frame(6, 5, colours[1]),
                                  frame(4, 3, colours[2])};
        layers[1].x = 2, layers[1].y = 3;
        layers[2].x = 11, layers[2].y = 7;
        const LoadResult back = round_trip(layers, kDocLayers, "layers");
        if (back.result == VT_OK) {
            ASSERT_EQ(back.frames.size(), 3u);
            for (std::size_t i = 0; i < 3; ++i) {
                EXPECT_EQ(back.frames[i].x, layers[i].x) << "layer " << i;
                EXPECT_EQ(back.frames[i].y, layers[i].y) << "layer " << i;
                EXPECT_EQ(back.frames[i].width, layers[i].width) << "layer " << i;
                EXPECT_EQ(back.frames[i].pixels[0] & 0xFFFFFF, colours[i]) << "layer " << i;
            }
        }
    }
    if (keeps & VT_KEEPS_ANIMATION) {
        std::vector<Frame> frames;
        for (const std::uint32_t c : colours) {
            frames.push_back(frame(16, 16, c));
            frames.back().delay = 200;
        }
        const LoadResult back = round_trip(frames, kDocAnimation, "animation");
        if (back.result == VT_OK) {
            ASSERT_EQ(back.frames.size(), 3u);
            for (std::size_t i = 0; i < 3; ++i) {
                EXPECT_NEAR(back.frames[i].delay, 200, 10) << "frame " << i;
                // Lossy video keeps the colours near, not exact.
                const std::uint32_t p = back.frames[i].pixels[0];
                for (int shift : {0, 8, 16})
                    EXPECT_NEAR(static_cast<int>((p >> shift) & 0xFF),
                                static_cast<int>((colours[i] >> shift) & 0xFF), 8)
                        << "frame " << i;
            }
        }
    }
}

// A new writer gets a row above: every plug-in in the folder is a writer of the table or a reader.
TEST(WriterKeepsTable, NamesEveryWriter) {
    constexpr std::string_view kReaders[] = {"fmx_FITS", "fmx_KRA", "fmx_PDF",
                                             "fmx_PSP",  "fmx_RAW", "fmx_SVG"};
    for (const auto& entry : std::filesystem::directory_iterator(VT_PLUGINS_DIR)) {
        const std::string name = entry.path().stem().string();
        if (entry.path().extension() != ".so" || name.rfind("fmx_", 0) != 0 ||
            std::find(std::begin(kReaders), std::end(kReaders), name) != std::end(kReaders))
            continue;
        EXPECT_TRUE(std::any_of(std::begin(kWriters), std::end(kWriters),
                                [&](const Writer& w) { return name == w.plugin; }))
            << name << " writes but has no row in kWriters";
    }
}

// An encoder that takes the job's idle workers writes the same file as on its own thread, so
// that what a job writes does not depend on how its pictures fell to the workers.
TEST_P(WriterKeeps, IdleWorkersLeaveTheBytesAlone) {
    constexpr std::string_view kThreaded[] = {".webp", ".jp2", ".j2k", ".jxl", ".avif"};
    if (std::find(std::begin(kThreaded), std::end(kThreaded), GetParam().extension) ==
        std::end(kThreaded))
        GTEST_SKIP() << "runs on the calling thread alone";
    ASSERT_TRUE(m_library.loaded()) << m_library.error();
    Frame f = frame(600, 400, 0);
    for (std::size_t i = 0; i < f.pixels.size(); ++i)
        f.pixels[i] =
            static_cast<std::uint32_t>((i % 600) * 3 + (i / 600) * 5 + (i * i) % 61) & 0x00FFFFFFu;
    std::string bytes[2];
    for (const std::uint32_t idle : {0u, 3u}) {
        const std::atomic<std::uint32_t> workers{idle};
        plugins::set_spare_threads(&workers);
        const std::string name = "idle" + std::to_string(idle) + GetParam().extension;
        EXPECT_EQ(save_with(m_library.api(), m_temp / name, {f}, kDocLayers).result, VT_OK);
        plugins::set_spare_threads(nullptr);
        bytes[idle == 0 ? 0 : 1] = m_temp.read(name);
    }
    EXPECT_FALSE(bytes[0].empty());
    EXPECT_EQ(bytes[0], bytes[1]);
}

INSTANTIATE_TEST_SUITE_P(, WriterKeeps, ::testing::ValuesIn(kWriters),
                         [](const ::testing::TestParamInfo<Writer>& row) {
                             return std::string(row.param.extension + 1);
                         });

} // namespace
} // namespace vt::test
