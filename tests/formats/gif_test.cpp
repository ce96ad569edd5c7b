// The GIF plug-in: files written block by block with giflib's encoder, so each test says exactly
// which images, tables and control blocks its file holds, and the conformance suite's frames.

#include <gtest/gtest.h>

#include <gif_lib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

// 0xRRGGBB colours.
using Colours = std::vector<std::uint32_t>;

// A GIF89a in memory, written in the order of the calls.
class GifBuilder {
public:
    GifBuilder(int width, int height, const Colours& global = {}) {
        int error = 0;
        m_gif = EGifOpen(&m_bytes, append, &error);
        EGifSetGifVersion(m_gif, true);
        ColorMapObject* map = make_map(global);
        m_ok = m_gif != nullptr && EGifPutScreenDesc(m_gif, width, height, 8, 0, map) != GIF_ERROR;
        GifFreeMapObject(map);
    }
    ~GifBuilder() {
        if (m_gif != nullptr)
            EGifCloseFile(m_gif, nullptr);
    }
    GifBuilder(const GifBuilder&) = delete;
    GifBuilder& operator=(const GifBuilder&) = delete;

    // A graphic control block for the next image.
    GifBuilder& control(int disposal, int delay_cs, int transparent = NO_TRANSPARENT_COLOR) {
        GraphicsControlBlock gcb{};
        gcb.DisposalMode = disposal;
        gcb.DelayTime = delay_cs;
        gcb.TransparentColor = transparent;
        GifByteType bytes[4] = {};
        const auto n = static_cast<int>(EGifGCBToExtension(&gcb, bytes));
        m_ok = m_ok && EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, n, bytes) != GIF_ERROR;
        return *this;
    }

    // An image of `indices` (rows top-down; written in pass order when interlaced).
    GifBuilder& image(int x, int y, int w, int h, std::vector<std::uint8_t> indices,
                      const Colours& local = {}, bool interlace = false) {
        ColorMapObject* map = make_map(local);
        m_ok = m_ok && EGifPutImageDesc(m_gif, x, y, w, h, interlace, map) != GIF_ERROR;
        GifFreeMapObject(map);
        std::vector<int> order;
        if (interlace) {
            for (const auto& [start, step] : {std::pair{0, 8}, {4, 8}, {2, 4}, {1, 2}})
                for (int row = start; row < h; row += step)
                    order.push_back(row);
        } else {
            for (int row = 0; row < h; ++row)
                order.push_back(row);
        }
        for (const int row : order)
            m_ok = m_ok &&
                   EGifPutLine(m_gif, &indices[static_cast<std::size_t>(row * w)], w) != GIF_ERROR;
        return *this;
    }

    // One colour index over the whole image.
    GifBuilder& fill(int x, int y, int w, int h, std::uint8_t index, const Colours& local = {}) {
        return image(x, y, w, h, std::vector<std::uint8_t>(static_cast<std::size_t>(w * h), index),
                     local);
    }

    // The looping extension with its count (0: endlessly).
    GifBuilder& loop(std::uint16_t count = 0) {
        const std::uint8_t forever[3] = {1, static_cast<std::uint8_t>(count & 255),
                                         static_cast<std::uint8_t>(count >> 8)};
        m_ok = m_ok && EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
               EGifPutExtensionBlock(m_gif, 11, "NETSCAPE2.0") != GIF_ERROR &&
               EGifPutExtensionBlock(m_gif, 3, forever) != GIF_ERROR &&
               EGifPutExtensionTrailer(m_gif) != GIF_ERROR;
        return *this;
    }

    // An XMP packet the way XMP writers store it: raw, closed by the 257-byte magic trailer.
    GifBuilder& xmp(const std::string& packet) {
        std::string raw = packet;
        raw += '\x01';
        for (int i = 255; i >= 0; --i)
            raw += static_cast<char>(i);
        m_ok = m_ok && EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_ERROR &&
               EGifPutExtensionBlock(m_gif, 11, "XMP DataXMP") != GIF_ERROR;
        // Raw data: the sub-block lengths giflib adds must be bytes of the packet itself, so the
        // packet is cut where its own bytes say.
        std::size_t at = 0;
        while (m_ok && at < raw.size() - 1) {
            const auto n = static_cast<std::uint8_t>(raw[at]);
            if (n == 0 || at + 1 + n > raw.size())
                break;
            m_ok = EGifPutExtensionBlock(m_gif, n, raw.data() + at + 1) != GIF_ERROR;
            at += 1u + n;
        }
        m_ok = m_ok && EGifPutExtensionTrailer(m_gif) != GIF_ERROR;
        return *this;
    }

    // The file with its trailer; empty when giflib refused a step.
    std::string finish() {
        const bool closed = EGifCloseFile(m_gif, nullptr) != GIF_ERROR;
        m_gif = nullptr;
        return m_ok && closed ? m_bytes : std::string{};
    }

private:
    static int append(GifFileType* gif, const GifByteType* data, int size) {
        static_cast<std::string*>(gif->UserData)
            ->append(reinterpret_cast<const char*>(data), static_cast<std::size_t>(size));
        return size;
    }
    static ColorMapObject* make_map(const Colours& colours) {
        if (colours.empty())
            return nullptr;
        const int count = 1 << GifBitSize(static_cast<int>(colours.size()));
        std::vector<GifColorType> table(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < colours.size(); ++i)
            table[i] = {static_cast<GifByteType>(colours[i] >> 16),
                        static_cast<GifByteType>(colours[i] >> 8),
                        static_cast<GifByteType>(colours[i])};
        return GifMakeMapObject(count, table.data());
    }

    std::string m_bytes;
    GifFileType* m_gif = nullptr;
    bool m_ok = false;
};

// 0xRRGGBB as an opaque pixel.
inline std::uint32_t opaque(std::uint32_t rgb) {
    return rgb & 0x00FFFFFFu;
}

class GifPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_GIF"); }
    void TearDown() override {
        for (const char16_t* name : {u"fmx_GIF.dither", u"fmx_GIF.colors"})
            HarnessServices::state().erase(name);
    }
};

constexpr std::uint32_t kRed = 0xFF0000, kGreen = 0x00FF00, kBlue = 0x0000FF, kBlack = 0;
const Colours kFour = {kBlack, kRed, kGreen, kBlue};
constexpr std::uint32_t kClearPixel = 0xFF000000u;

struct SlurpCloser {
    void operator()(GifFileType* gif) const { DGifCloseFile(gif, nullptr); }
};
using Slurped = std::unique_ptr<GifFileType, SlurpCloser>;

// giflib's own reading of a file the plug-in wrote (trusted input, so slurping is fine).
Slurped slurp(const std::string& path) {
    Slurped gif(DGifOpenFileName(path.c_str(), nullptr));
    if (gif && DGifSlurp(gif.get()) != GIF_OK)
        gif.reset();
    return gif;
}

// A picture of `colours` opaque colours in blocks, with a transparent band.
Frame few_colour_picture(std::uint32_t width, std::uint32_t height, std::uint32_t colours) {
    Frame f{.width = width, .height = height};
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::uint32_t k = (x / 2 + y * 7) % colours;
            f.pixels.push_back(y >= 2 && y < 5 ? bgrt(0, 0, 0, 255)
                                               : bgrt(k * 37 % 256, k * 91 % 256, k * 13 % 256));
        }
    return f;
}

int channel(std::uint32_t p, int shift) {
    return static_cast<int>((p >> shift) & 0xFF);
}

// Mean absolute error per channel, of single pixels and of 4x4 block averages (what the eye
// sees of a dithered picture from a little further away).
struct Error {
    double pixel = 0;
    double blurred = 0;
};

Error error_of(const Frame& original, const std::vector<std::uint32_t>& pixels) {
    Error e;
    const std::uint32_t w = original.width, h = original.height;
    for (std::size_t i = 0; i < pixels.size(); ++i)
        for (int s = 0; s < 24; s += 8)
            e.pixel += std::abs(channel(pixels[i], s) - channel(original.pixels[i], s));
    e.pixel /= 3.0 * static_cast<double>(pixels.size());
    std::size_t blocks = 0;
    for (std::uint32_t by = 0; by + 4 <= h; by += 4)
        for (std::uint32_t bx = 0; bx + 4 <= w; bx += 4, ++blocks)
            for (int s = 0; s < 24; s += 8) {
                int a = 0, b = 0;
                for (std::uint32_t y = by; y < by + 4; ++y)
                    for (std::uint32_t x = bx; x < bx + 4; ++x) {
                        a += channel(pixels[y * w + x], s);
                        b += channel(original.pixels[y * w + x], s);
                    }
                e.blurred += std::abs(a - b) / 16.0;
            }
    e.blurred /= 3.0 * static_cast<double>(blocks);
    return e;
}

// Every pixel mapped to the nearest colour of the file's first colour table.
std::vector<std::uint32_t> nearest_mapping(const Frame& original, const ColorMapObject& map) {
    std::vector<std::uint32_t> out;
    for (const std::uint32_t p : original.pixels) {
        int best = 1 << 30;
        std::uint32_t chosen = 0;
        for (int i = 0; i < map.ColorCount; ++i) {
            const GifColorType& c = map.Colors[i];
            const int dr = c.Red - channel(p, 16), dg = c.Green - channel(p, 8),
                      db = c.Blue - channel(p, 0);
            const int d = dr * dr + dg * dg + db * db;
            if (d < best) {
                best = d;
                chosen = bgrt(c.Red, c.Green, c.Blue);
            }
        }
        out.push_back(chosen);
    }
    return out;
}

const ColorMapObject* first_table(const GifFileType& gif) {
    if (gif.ImageCount > 0 && gif.SavedImages[0].ImageDesc.ColorMap != nullptr)
        return gif.SavedImages[0].ImageDesc.ColorMap;
    return gif.SColorMap;
}

std::string header(std::uint32_t width, std::uint32_t height) {
    if (width > 65535 || height > 65535)
        return {};
    std::string out = "GIF89a";
    le16(out, width);
    le16(out, height);
    return out + std::string(3, '\0');
}

// Up to 200 colours, and with `transparent` a band of full transparency: all a GIF keeps.
Frame gif_picture(std::uint32_t width, std::uint32_t height, bool transparent) {
    Frame f = few_colour_picture(width, height, std::min(width * height, 200u));
    if (!transparent)
        for (std::uint32_t& p : f.pixels)
            p = p == kClearPixel ? bgrt(9, 9, 9) : p;
    return f;
}

VT_FORMAT_CONFORMANCE(Gif, FormatRow{.plugin = "fmx_GIF",
                                     .extension = ".gif",
                                     .header = header,
                                     .frame_sets = 2,
                                     .cut_keeps_whole_frames = true,
                                     .picture = gif_picture});

TEST_F(GifPlugin, PartialTransparencyBecomesAllOrNothing) {
    Frame picture = few_colour_picture(4, 1, 4);
    picture.pixels = {bgrt(10, 20, 30, 127), bgrt(10, 20, 30, 128), bgrt(1, 2, 3, 0),
                      bgrt(1, 2, 3, 255)};
    const std::string file = m_temp / "alpha.gif";
    ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    const std::vector<std::uint32_t> expected = {bgrt(10, 20, 30), kClearPixel, bgrt(1, 2, 3),
                                                 kClearPixel};
    EXPECT_EQ(max_difference(loaded.frames.at(0).pixels, expected), 0);
}

TEST_F(GifPlugin, PhotoIsReducedWithSmallErrorAndDitheringHelps) {
    const Frame picture = smooth_picture(128, 96);
    const std::string file = m_temp / "photo.gif";
    // The error of the picture saved with the state as it is; the file's first colour table
    // must hold at most `colours`.
    const auto error_of_save = [&](int colours) {
        EXPECT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        const Slurped saved = slurp(file);
        EXPECT_TRUE(saved && first_table(*saved) != nullptr);
        EXPECT_LE(saved ? first_table(*saved)->ColorCount : 0, colours);
        return error_of(picture, load_with(api(), file).frames.at(0).pixels);
    };
    const Error with_dither = error_of_save(256);
    const Slurped gif = slurp(file);
    ASSERT_TRUE(gif && first_table(*gif) != nullptr);
    const Error nearest = error_of(picture, nearest_mapping(picture, *first_table(*gif)));
    HarnessServices::set_state(u"fmx_GIF.dither", "0");
    const Error without_dither = error_of_save(256);
    HarnessServices::set_state(u"fmx_GIF.dither", "1");
    HarnessServices::set_state(u"fmx_GIF.colors", "16");
    const Error with_sixteen = error_of_save(16);

    // Dithering trades a little error per pixel for much less over an area.
    EXPECT_LT(with_dither.pixel, 6.0);
    EXPECT_LT(with_dither.blurred, 0.75 * nearest.blurred);
    EXPECT_LT(without_dither.pixel, nearest.pixel + 0.5);
    EXPECT_LT(with_sixteen.pixel, 24.0);
    EXPECT_GT(with_sixteen.pixel, with_dither.pixel);
}

// Three frames: the second clears the lower half, the third changes a small block.
std::vector<Frame> three_frames() {
    Frame first = few_colour_picture(24, 16, 30);
    first.delay = 40;
    Frame second = first;
    second.delay = 80;
    for (std::uint32_t y = 8; y < 16; ++y)
        for (std::uint32_t x = 0; x < 24; ++x)
            second.pixels[y * 24 + x] = kClearPixel;
    Frame third = second;
    third.delay = 120;
    for (std::uint32_t y = 5; y < 8; ++y)
        for (std::uint32_t x = 5; x < 9; ++x)
            third.pixels[y * 24 + x] = bgrt(250, 250, 0);
    return {first, second, third};
}

TEST_F(GifPlugin, AnimationRoundTripsFramesDelaysAndPixels) {
    const std::vector<Frame> frames = three_frames();
    const std::string file = m_temp / "anim.gif";
    ASSERT_EQ(save_with(api(), file, frames, 2).result, VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.doc_kind, 2);
    ASSERT_EQ(loaded.frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(loaded.frames[i].delay, frames[i].delay);
        EXPECT_EQ(max_difference(loaded.frames[i].pixels, frames[i].pixels), 0);
    }
    // The file itself: looping; the first frame cleared after showing, as pixels turn
    // transparent; the second only its opaque part, the third only the changed block.
    const std::string bytes = read_bytes(file);
    EXPECT_EQ(bytes.substr(0, 6), "GIF89a");
    EXPECT_NE(bytes.find("NETSCAPE2.0\x03\x01\x00\x00", 0, 16), std::string::npos);
    const Slurped gif = slurp(file);
    ASSERT_TRUE(gif);
    ASSERT_EQ(gif->ImageCount, 3);
    GraphicsControlBlock control{};
    ASSERT_EQ(DGifSavedExtensionToGCB(gif.get(), 0, &control), GIF_OK);
    EXPECT_EQ(control.DisposalMode, DISPOSE_BACKGROUND);
    const GifImageDesc& top = gif->SavedImages[1].ImageDesc;
    EXPECT_EQ(std::vector<int>({top.Left, top.Top, top.Width, top.Height}),
              std::vector<int>({0, 0, 24, 8}));
    ASSERT_EQ(DGifSavedExtensionToGCB(gif.get(), 1, &control), GIF_OK);
    EXPECT_EQ(control.DisposalMode, DISPOSE_DO_NOT);
    const GifImageDesc& block = gif->SavedImages[2].ImageDesc;
    EXPECT_EQ(std::vector<int>({block.Left, block.Top, block.Width, block.Height}),
              std::vector<int>({5, 5, 4, 3}));
}

TEST_F(GifPlugin, AnimationFramesOfOtherSizesAreCentred) {
    const Frame wide{
        .width = 20, .height = 6, .pixels = std::vector(120, bgrt(0, 0, 255)), .delay = 100};
    const Frame tall{
        .width = 10, .height = 10, .pixels = std::vector(100, bgrt(255, 0, 0)), .delay = 100};
    // `f` at (left, top) of a clear 20 x 10 canvas.
    const auto on_canvas = [](std::uint32_t left, std::uint32_t top, const Frame& f) {
        Frame canvas{.width = 20, .height = 10, .pixels = std::vector(200, kClearPixel)};
        for (std::uint32_t y = 0; y < f.height; ++y)
            std::copy_n(&f.pixels[y * f.width], f.width, &canvas.pixels[(top + y) * 20 + left]);
        return canvas;
    };
    const std::string file = m_temp / "sizes.gif";
    ASSERT_EQ(save_with(api(), file, {wide, tall}, 2).result, VT_OK);
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 2u);
    EXPECT_EQ(max_difference(loaded.frames[0], on_canvas(0, 2, wide)), 0);
    EXPECT_EQ(max_difference(loaded.frames[1], on_canvas(5, 0, tall)), 0);
}

TEST_F(GifPlugin, DisposalMethodsComposeTheFrames) {
    // A green screen, a red 2x2 block with the disposal under test, then a blue dot.
    auto file_with = [](int disposal) {
        GifBuilder gif(4, 4, kFour);
        gif.control(DISPOSE_DO_NOT, 10).fill(0, 0, 4, 4, 2);
        gif.control(disposal, 10).fill(0, 0, 2, 2, 1);
        gif.control(DISPOSE_DO_NOT, 10).fill(3, 3, 1, 1, 3);
        return gif.finish();
    };
    const std::uint32_t green = opaque(kGreen), red = opaque(kRed), blue = opaque(kBlue);
    struct Case {
        int disposal;
        std::uint32_t under_block; // what frame 2 shows where the red block was
    };
    for (const Case& c : {Case{DISPOSE_DO_NOT, red}, Case{DISPOSAL_UNSPECIFIED, red},
                          Case{DISPOSE_BACKGROUND, kClearPixel}, Case{DISPOSE_PREVIOUS, green}}) {
        SCOPED_TRACE(c.disposal);
        const LoadResult loaded = load_bytes(file_with(c.disposal));
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 3u);
        EXPECT_EQ(loaded.doc_kind, 2);
        EXPECT_EQ(loaded.frames[1].pixels[0], red);
        EXPECT_EQ(loaded.frames[1].pixels[15], green);
        std::vector<std::uint32_t> expected(16, green);
        for (const int i : {0, 1, 4, 5})
            expected[static_cast<std::size_t>(i)] = c.under_block;
        expected[15] = blue;
        EXPECT_EQ(max_difference(loaded.frames[2].pixels, expected), 0);
        for (const Frame& f : loaded.frames)
            EXPECT_EQ(f.delay, 100);
    }
}

TEST_F(GifPlugin, TransparentIndexShowsWhatIsBelow) {
    GifBuilder gif(3, 1, kFour);
    gif.control(DISPOSE_DO_NOT, 5).image(0, 0, 3, 1, {1, 1, 1});
    gif.control(DISPOSE_DO_NOT, 5, 3).image(0, 0, 3, 1, {2, 3, 3});
    const LoadResult loaded = load_bytes(gif.finish());
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 2u);
    EXPECT_EQ(loaded.frames[1].pixels,
              (std::vector<std::uint32_t>{opaque(kGreen), opaque(kRed), opaque(kRed)}));
    EXPECT_EQ(loaded.frames[0].delay, 50);
}

TEST_F(GifPlugin, HowOftenAnAnimationRunsRoundTrips) {
    // Viewers run a file without the looping extension once, and a count of n n + 1 times.
    const auto timed = [](int count) {
        GifBuilder gif(2, 1, kFour);
        if (count >= 0)
            gif.loop(static_cast<std::uint16_t>(count));
        gif.control(DISPOSAL_UNSPECIFIED, 10).fill(0, 0, 2, 1, 1);
        gif.control(DISPOSAL_UNSPECIFIED, 10).fill(0, 0, 2, 1, 2);
        return gif.finish();
    };
    for (const auto& [count, plays] :
         {std::pair{-1, "1"}, std::pair{0, "0"}, std::pair{2, "3"}, std::pair{65535, "65535"}}) {
        const LoadResult loaded = load_bytes(timed(count));
        ASSERT_EQ(loaded.result, VT_OK);
        ASSERT_EQ(loaded.frames.size(), 2u);
        EXPECT_TRUE(has_entry(loaded.frames[0], std::string("animation.plays=") + plays + ";"))
            << count;
    }
    // A still picture says nothing about it.
    GifBuilder still(2, 1, kFour);
    still.fill(0, 0, 2, 1, 1);
    EXPECT_EQ(load_bytes(still.finish()).frames.at(0).markup.find("animation."), std::string::npos);

    // Saving: once is no extension; four runs a count of 3; unreadable values run endlessly.
    for (const auto& [markup, block] :
         {std::pair<std::string, std::string>{"animation.plays=1;", ""},
          {"animation.plays=4;", std::string("NETSCAPE2.0\x03\x01\x03\x00", 16)},
          {"animation.plays=endless;", std::string("NETSCAPE2.0\x03\x01\x00\x00", 16)}}) {
        std::vector<Frame> frames = three_frames();
        frames[0].markup = "\r\n" + markup;
        const std::string file = m_temp / "plays.gif";
        ASSERT_EQ(save_with(api(), file, frames, 2).result, VT_OK);
        const std::string bytes = read_bytes(file);
        if (block.empty())
            EXPECT_EQ(bytes.find("NETSCAPE2.0"), std::string::npos) << markup;
        else
            EXPECT_NE(bytes.find(block), std::string::npos) << markup;
    }
}

TEST_F(GifPlugin, ImagesWithoutDelayShareAFrameUnlessTheFileLoops) {
    auto two_images = [](bool loop) {
        GifBuilder gif(2, 1, kFour);
        if (loop)
            gif.loop();
        gif.fill(0, 0, 1, 1, 1).fill(1, 0, 1, 1, 2);
        return gif.finish();
    };
    const LoadResult together = load_bytes(two_images(false));
    ASSERT_EQ(together.result, VT_OK);
    ASSERT_EQ(together.frames.size(), 1u);
    EXPECT_EQ(together.doc_kind, 0);
    EXPECT_EQ(together.frames[0].pixels,
              (std::vector<std::uint32_t>{opaque(kRed), opaque(kGreen)}));
    const LoadResult played = load_bytes(two_images(true));
    ASSERT_EQ(played.result, VT_OK);
    ASSERT_EQ(played.frames.size(), 2u);
    EXPECT_EQ(played.doc_kind, 2);
    EXPECT_EQ(max_difference(played.frames[0].pixels[1], kClearPixel), 0);
    EXPECT_EQ(played.frames[1].pixels, together.frames[0].pixels);
    EXPECT_EQ(played.frames[1].delay, 0);
}

TEST_F(GifPlugin, InterlacedClippedAndLocalTablesDecode) {
    // 3 x 11, interlaced, rows of distinct colours from a local table.
    std::vector<std::uint8_t> rows;
    Colours local;
    for (std::uint8_t y = 0; y < 11; ++y) {
        rows.insert(rows.end(), 3, y);
        local.push_back(static_cast<std::uint32_t>(y) * 0x151515u);
    }
    GifBuilder gif(5, 6, kFour);
    gif.fill(4, 0, 3, 3, 3); // the right two columns fall off
    gif.fill(9, 9, 2, 2, 1); // entirely outside
    // Last: giflib's encoder loses a local table that an image without one follows.
    gif.image(1, 2, 3, 11, rows, local, true); // rows 4 and below fall off the screen
    const LoadResult loaded = load_bytes(gif.finish());
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 1u);
    std::vector<std::uint32_t> expected;
    for (std::uint32_t y = 0; y < 6; ++y)
        for (std::uint32_t x = 0; x < 5; ++x)
            expected.push_back(x == 4 && y < 3             ? opaque(kBlue)
                               : x >= 1 && x < 4 && y >= 2 ? opaque((y - 2) * 0x151515u)
                                                           : kClearPixel);
    EXPECT_EQ(max_difference(loaded.frames[0].pixels, expected), 0);
}

TEST_F(GifPlugin, MissingColourTableGivesAGreyRamp) {
    GifBuilder gif(4, 1);
    gif.image(0, 0, 4, 1, {0, 1, 2, 3}, kFour);
    std::string bytes = gif.finish();
    // Take the local table out again: flags byte after the 9-byte descriptor, then 4 colours.
    const std::size_t descriptor = bytes.find(',');
    ASSERT_NE(descriptor, std::string::npos);
    ASSERT_EQ(static_cast<std::uint8_t>(bytes[descriptor + 9]), 0x81);
    bytes[descriptor + 9] = 0;
    bytes.erase(descriptor + 10, 12);
    const LoadResult loaded = load_bytes(bytes);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_EQ(loaded.frames.at(0).pixels,
              (std::vector<std::uint32_t>{bgrt(0, 0, 0), bgrt(85, 85, 85), bgrt(170, 170, 170),
                                          bgrt(255, 255, 255)}));
}

TEST_F(GifPlugin, XmpPacketAndBitDepthReachTheMarkup) {
    const std::string packet =
        "<?xpacket begin='' id='W5M0MpCehiHzreSzNTczkc9d'?><x:xmpmeta xmlns:x='adobe:ns:meta/'>"
        "<rdf:RDF xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
        "xmlns:tiff='http://ns.adobe.com/tiff/1.0/'><tiff:Make>Vantrel Test</tiff:Make>"
        "</rdf:Description></rdf:RDF></x:xmpmeta><?xpacket end='w'?>";
    GifBuilder gif(1, 1, kFour);
    gif.xmp(packet).fill(0, 0, 1, 1, 1);
    const LoadResult loaded = load_bytes(gif.finish());
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_TRUE(has_entry(loaded.frames.at(0), "image.bpp=8;"));
    EXPECT_TRUE(has_entry(loaded.frames[0], "exif.make=Vantrel Test;"));
}

TEST_F(GifPlugin, EveryCutOfAnAnimationFailsCleanlyOrKeepsWholeFrames) {
    const std::string file = m_temp / "anim.gif";
    ASSERT_EQ(save_with(api(), file, three_frames(), 2).result, VT_OK);
    const std::string bytes = read_bytes(file);
    const LoadResult whole = load_bytes(bytes);
    ASSERT_EQ(whole.frames.size(), 3u);
    std::size_t last_count = 0;
    for (std::size_t n = 0; n < bytes.size(); ++n) {
        SCOPED_TRACE(n);
        const LoadResult cut = load_bytes(bytes.substr(0, n));
        if (cut.result != VT_OK) {
            EXPECT_LT(cut.result, 0);
            EXPECT_EQ(last_count, 0u); // once a frame is whole, later cuts keep it
            continue;
        }
        ASSERT_FALSE(cut.frames.empty());
        EXPECT_GE(cut.frames.size(), last_count);
        last_count = cut.frames.size();
        // Even with only the trailer missing, frames may be lost: the load cannot tell.
        EXPECT_EQ(cut.warnings & VT_WARN_DATA_LOST, VT_WARN_DATA_LOST);
        for (std::size_t i = 0; i < cut.frames.size(); ++i)
            EXPECT_EQ(max_difference(cut.frames[i].pixels, whole.frames[i].pixels), 0);
    }
    EXPECT_EQ(last_count, 3u);
}

std::string with_lzw_code_size(std::uint8_t size) {
    GifBuilder gif(2, 2, kFour);
    gif.fill(0, 0, 2, 2, 1);
    std::string bytes = gif.finish();
    bytes[bytes.find(',') + 10] = static_cast<char>(size);
    return bytes;
}

TEST_F(GifPlugin, HostileFilesFailCleanly) {
    std::string no_table_header("GIF89a\x03\x00\x03\x00\x00\x00\x00", 13);
    struct Case {
        const char* name;
        std::string bytes;
        std::int32_t expected; // 0: any error
    };
    std::string bad_index;
    {
        // Index 3 of a four-colour table, which then shrinks to two colours.
        GifBuilder gif(2, 1, kFour);
        gif.image(0, 0, 2, 1, {3, 1});
        bad_index = gif.finish();
        bad_index[10] = static_cast<char>(bad_index[10] & ~7);
        bad_index.erase(13 + 6, 6);
    }
    std::string huge_image;
    {
        // A 65535 x 65535 image on a 1x1 screen with almost no data.
        GifBuilder gif(1, 1, kFour);
        gif.fill(0, 0, 1, 1, 1);
        huge_image = gif.finish();
        const std::size_t d = huge_image.find(',');
        for (std::size_t i = d + 5; i < d + 9; ++i)
            huge_image[i] = '\xFF';
    }
    const std::vector<Case> cases = {
        {"not a GIF", "\x89PNG\r\n\x1a\nxxxxxxxxxx", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"signature only", "GIF89a", VT_ERR_READ},
        {"screen cut", "GIF89a\x03\x00\x03", VT_ERR_READ},
        {"no image, no trailer", no_table_header, VT_ERR_READ},
        {"index beyond the table", bad_index, VT_ERR_INVALID_DATA},
        {"code size 9", with_lzw_code_size(9), VT_ERR_INVALID_DATA},
        {"code size 12", with_lzw_code_size(12), VT_ERR_INVALID_DATA},
        {"code size 255", with_lzw_code_size(255), VT_ERR_INVALID_DATA},
        {"code size 0", with_lzw_code_size(0), 0},
        {"huge image", huge_image, 0},
        {"garbage record", no_table_header + "\x77", VT_ERR_INVALID_DATA}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const LoadResult loaded = load_bytes(c.bytes);
        if (c.expected != 0)
            EXPECT_EQ(loaded.result, c.expected);
        else if (loaded.result == VT_OK)
            EXPECT_FALSE(loaded.frames.empty());
        else
            EXPECT_LT(loaded.result, 0);
    }
    // Code size 1 is below what the format allows but decodes: no crash is all that counts.
    (void)load_bytes(with_lzw_code_size(1));
}

TEST_F(GifPlugin, ScreenLargerThanTheHostAllowsIsRefusedByTheHost) {
    GifBuilder gif(15000, 15000, kFour);
    gif.fill(0, 0, 1, 1, 1);
    LoadOptions small;
    small.max_pixels = 1000000;
    const LoadResult loaded = load_bytes(gif.finish(), small);
    EXPECT_EQ(loaded.result, VT_ERR_BITMAP_TOO_BIG);
}

TEST_F(GifPlugin, BrokenDataAfterAWholeFrameKeepsIt) {
    GifBuilder gif(2, 1, kFour);
    gif.control(DISPOSE_DO_NOT, 20).image(0, 0, 2, 1, {1, 2});
    std::string bytes = gif.finish();
    bytes.back() = '\x77'; // an unknown record instead of the trailer
    const LoadResult loaded = load_bytes(bytes);
    ASSERT_EQ(loaded.result, VT_OK);
    ASSERT_EQ(loaded.frames.size(), 1u);
    EXPECT_EQ(loaded.warnings, VT_WARN_DATA_LOST);
    // Without any frame to keep, the same damage is an error: "garbage record" above.
    EXPECT_EQ(loaded.frames[0].pixels, (std::vector<std::uint32_t>{opaque(kRed), opaque(kGreen)}));
}

TEST_F(GifPlugin, AnimationWithoutFramesLeavesNoFile) {
    const std::string empty = m_temp / "empty.gif";
    EXPECT_LT(save_with(api(), empty, {}, 2).result, 0);
    EXPECT_FALSE(std::filesystem::exists(empty));
}

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

// "a, b, c" as its items.
std::vector<std::string> split_list(std::string text) {
    std::replace(text.begin(), text.end(), ',', ' ');
    std::istringstream in(text);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A frame of width x height from raw R, G, B, A bytes.
Frame rgba_frame(std::uint32_t width, std::uint32_t height, const std::string& bytes) {
    Frame f{.width = width, .height = height};
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes.data());
    for (std::size_t i = 0; i + 4 <= bytes.size(); i += 4)
        f.pixels.push_back(bgrt(b[i], b[i + 1], b[i + 2], 255u - b[i + 3]));
    return f;
}

TEST_F(GifPlugin, ConformanceSuiteFramesMatch) {
    VT_TESTDATA_OR_SKIP(folder, "gif-pygif");
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
            const int delay = expected.count("delay") ? std::stoi(expected.at("delay")) : 0;
            EXPECT_EQ(loaded.frames[i].delay, delay * 10);
            ASSERT_TRUE(expected.count("pixels"));
            EXPECT_EQ(max_difference(
                          loaded.frames[i],
                          rgba_frame(width, height, read_bytes(folder / expected.at("pixels")))),
                      0);
        }
        ++compared;
    }
    EXPECT_EQ(compared, 74);
    EXPECT_EQ(refused, 9);
}

} // namespace
} // namespace vt::test
