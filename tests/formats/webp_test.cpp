#include <gtest/gtest.h>

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

constexpr std::uint32_t kTagIcc = VT_TAG('I', 'C', 'C', 'P');
constexpr std::uint32_t kTagExif = VT_TAG('E', 'X', 'I', 'F');
constexpr std::uint32_t kTagXmp = VT_TAG('X', 'M', 'P', ' ');

double mean_error(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (int shift = 0; shift < 32; shift += 8)
            sum += std::abs(static_cast<int>((a[i] >> shift) & 0xFF) -
                            static_cast<int>((b[i] >> shift) & 0xFF));
    return sum / (4.0 * static_cast<double>(a.size()));
}

// R, G, B, A bytes as the engine's pixel.
std::uint32_t from_rgba(const std::uint8_t* p) {
    return bgrt(p[0], p[1], p[2], 255u - p[3]);
}

// Little-endian fields of a file in place (this host is little-endian too).
std::uint32_t le32_at(const std::string& s, std::size_t at) {
    std::uint32_t v = 0;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

void put_le24(std::string& s, std::size_t at, std::uint32_t v) {
    std::memcpy(s.data() + at, &v, 3);
}

void put_le32(std::string& s, std::size_t at, std::uint32_t v) {
    std::memcpy(s.data() + at, &v, 4);
}

// The bytes of one chunk of a file, as libwebp's demuxer finds it; empty when absent.
std::string chunk_of(const std::string& file, const char* fourcc) {
    const WebPData data{reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    std::string out;
    WebPChunkIterator it{};
    if (demux != nullptr && WebPDemuxGetChunk(demux, fourcc, 1, &it) != 0) {
        out.assign(reinterpret_cast<const char*>(it.chunk.bytes), it.chunk.size);
        WebPDemuxReleaseChunkIterator(&it);
    }
    WebPDemuxDelete(demux);
    return out;
}

bool is_animation(const std::string& file) {
    const WebPData data{reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
    WebPDemuxer* demux = WebPDemux(&data);
    const bool animated =
        demux != nullptr && (WebPDemuxGetI(demux, WEBP_FF_FORMAT_FLAGS) & ANIMATION_FLAG) != 0;
    WebPDemuxDelete(demux);
    return animated;
}

// libwebp's own composition of every frame of an animation, as engine pixels.
std::vector<std::vector<std::uint32_t>> libwebp_frames(const std::string& file) {
    const WebPData data{reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
    WebPAnimDecoderOptions options;
    WebPAnimDecoderOptionsInit(&options);
    options.color_mode = MODE_RGBA;
    WebPAnimDecoder* decoder = WebPAnimDecoderNew(&data, &options);
    WebPAnimInfo info{};
    std::vector<std::vector<std::uint32_t>> frames;
    std::uint8_t* canvas = nullptr;
    int timestamp = 0;
    while (decoder != nullptr && WebPAnimDecoderGetInfo(decoder, &info) != 0 &&
           WebPAnimDecoderGetNext(decoder, &canvas, &timestamp) != 0) {
        frames.emplace_back();
        for (std::size_t i = 0; i < std::size_t{info.canvas_width} * info.canvas_height; ++i)
            frames.back().push_back(from_rgba(canvas + 4 * i));
    }
    WebPAnimDecoderDelete(decoder);
    return frames;
}

// A file with chunks added by libwebp's muxer.
std::string with_chunks(const std::string& file,
                        const std::vector<std::pair<const char*, std::string>>& chunks) {
    const WebPData image{reinterpret_cast<const std::uint8_t*>(file.data()), file.size()};
    WebPMux* mux = WebPMuxCreate(&image, 1);
    EXPECT_NE(mux, nullptr);
    if (mux == nullptr)
        return {};
    for (const auto& [fourcc, bytes] : chunks) {
        const WebPData chunk{reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
        EXPECT_EQ(WebPMuxSetChunk(mux, fourcc, &chunk, 1), WEBP_MUX_OK);
    }
    WebPData out{};
    EXPECT_EQ(WebPMuxAssemble(mux, &out), WEBP_MUX_OK);
    std::string bytes(reinterpret_cast<const char*>(out.bytes), out.size);
    WebPDataClear(&out);
    WebPMuxDelete(mux);
    return bytes;
}

// `picture` centred on a transparent canvas, as a frame animation is flattened.
std::vector<std::uint32_t> centred(const Frame& picture, std::uint32_t width,
                                   std::uint32_t height) {
    std::vector<std::uint32_t> canvas(static_cast<std::size_t>(width) * height, 0xFFFFFFFFu);
    const std::uint32_t left = (width - picture.width) / 2;
    const std::uint32_t top = (height - picture.height) / 2;
    for (std::uint32_t y = 0; y < picture.height; ++y)
        std::copy_n(&picture.pixels[static_cast<std::size_t>(y) * picture.width], picture.width,
                    &canvas[static_cast<std::size_t>(top + y) * width + left]);
    return canvas;
}

// A lossless header without its image data; beyond what its 14 bits can say, an animation of one
// 1x1 frame on a canvas of width x height.
std::string header(std::uint32_t width, std::uint32_t height) {
    if (width == 0 || height == 0)
        return {};
    if (width <= 16384 && height <= 16384) {
        std::string out("RIFF\x0e\0\0\0WEBPVP8L\x05\0\0\0\x2f", 21);
        le32(out, (width - 1) | (height - 1) << 14);
        return out + '\0';
    }
    const std::uint8_t pixel[4] = {1, 2, 3, 255};
    std::uint8_t* still = nullptr;
    const std::size_t size = WebPEncodeLosslessRGBA(pixel, 1, 1, 4, &still);
    std::string frame(reinterpret_cast<const char*>(still), size);
    WebPFree(still);
    frame.erase(0, 12); // its VP8L chunk
    std::string body("WEBPVP8X\x0a\0\0\0\x02\0\0\0", 16);
    for (const std::uint32_t side : {width - 1, height - 1})
        for (int i = 0; i < 3; ++i)
            body += static_cast<char>((side >> (8 * i)) & 0xFF);
    body += std::string("ANIM\x06\0\0\0\0\0\0\0\0\0ANMF", 18);
    le32(body, static_cast<std::uint32_t>(16 + frame.size()));
    body += std::string("\0\0\0\0\0\0\0\0\0\0\0\0\x64\0\0\0", 16) + frame;
    std::string out("RIFF");
    le32(out, static_cast<std::uint32_t>(body.size()));
    return out + body;
}

std::optional<Frame> libwebp_decode(const std::filesystem::path& file) {
    const std::string bytes = read_bytes(file);
    Frame f;
    int width = 0;
    int height = 0;
    std::uint8_t* rgba = WebPDecodeRGBA(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                        bytes.size(), &width, &height);
    if (rgba == nullptr)
        return std::nullopt;
    f.width = static_cast<std::uint32_t>(width);
    f.height = static_cast<std::uint32_t>(height);
    for (std::size_t i = 0; i < std::size_t(width) * height; ++i)
        f.pixels.push_back(from_rgba(rgba + 4 * i));
    WebPFree(rgba);
    return f;
}

// The round trips save lossless; lossy saves are checked below. Even the files once broken on
// purpose decode with libwebp 1.2.4.
VT_FORMAT_CONFORMANCE(Webp, FormatRow{.plugin = "fmx_WebP",
                                      .extension = ".webp",
                                      .header = header,
                                      .reference = libwebp_decode,
                                      .corpus = "webp-libwebp",
                                      .corpus_extension = ".webp",
                                      .compared = 129,
                                      .frame_sets = 2,
                                      .prepare = [] {
                                          HarnessServices::set_state(u"fmx_WebP.lossless", "1");
                                      }});

class WebpPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_WebP"); }
    void TearDown() override {
        for (const char16_t* name : {u"fmx_WebP.quality", u"fmx_WebP.lossless", u"fmx_WebP.method"})
            HarnessServices::state().erase(name);
    }

    // Saves and answers the file's bytes, empty when the save failed.
    std::string saved(const std::vector<Frame>& frames, std::uint8_t doc_kind = 0) {
        const std::string file = m_temp / "saved.webp";
        const std::int32_t result = save_with(api(), file, frames, doc_kind).result;
        EXPECT_EQ(result, VT_OK);
        return result == VT_OK ? read_bytes(file) : std::string();
    }

    // Three frames of different sizes with the delays 40, 80 and 120 ms.
    static std::vector<Frame> three_frames() {
        std::vector<Frame> frames = {make_picture(20, 16, true), make_picture(12, 10, false),
                                     make_picture(18, 15, true)};
        for (std::size_t i = 0; i < frames.size(); ++i)
            frames[i].delay = static_cast<std::uint16_t>(40 * (i + 1));
        return frames;
    }
};

TEST_F(WebpPlugin, LossyRoundTripStaysClose) {
    for (const bool transparent : {false, true}) {
        SCOPED_TRACE(transparent ? "transparent" : "opaque");
        const Frame picture = smooth_picture(96, 64, transparent);
        const LoadResult back = load_bytes(saved({picture}));
        ASSERT_EQ(back.result, VT_OK);
        const Frame& f = back.frames.at(0);
        ASSERT_EQ(f.pixels.size(), picture.pixels.size());
        EXPECT_LT(mean_error(f.pixels, picture.pixels), 2.0);
        // Transparency is kept (losslessly by default), and an opaque picture stays opaque.
        for (std::size_t i = 0; i < f.pixels.size(); ++i)
            ASSERT_EQ(f.pixels[i] >> 24, picture.pixels[i] >> 24) << i;
        EXPECT_TRUE(has_entry(f, transparent ? "image.bpp=32;" : "image.bpp=24;"));
    }
}

TEST_F(WebpPlugin, StateEntriesChangeTheOutput) {
    const Frame picture = smooth_picture(128, 96);
    auto size_with = [&](std::u16string_view name, std::string_view value) {
        if (!value.empty())
            HarnessServices::set_state(name, value);
        const std::size_t size = saved({picture}).size();
        HarnessServices::state().erase(std::u16string(name));
        return size;
    };
    const std::size_t standard = size_with(u"fmx_WebP.quality", "");
    const std::size_t low = size_with(u"fmx_WebP.quality", "10");
    const std::size_t high = size_with(u"fmx_WebP.quality", std::string("\x64\0\0\0", 4));
    EXPECT_LT(low, standard);
    EXPECT_GT(high, standard);
    EXPECT_EQ(size_with(u"fmx_WebP.quality", "80"), standard);
    EXPECT_NE(size_with(u"fmx_WebP.method", "0"), standard);
    // Out-of-range values are clamped, not ignored.
    EXPECT_EQ(size_with(u"fmx_WebP.quality", "250"), high);

    HarnessServices::set_state(u"fmx_WebP.lossless", "1");
    HarnessServices::set_state(u"fmx_WebP.quality", "0");
    const std::string lossless = saved({picture});
    EXPECT_EQ(lossless.substr(12, 4), "VP8L");
    const LoadResult back = load_bytes(lossless);
    ASSERT_EQ(back.result, VT_OK);
    EXPECT_EQ(back.frames.at(0).pixels, picture.pixels);
}

TEST_F(WebpPlugin, AnimationRoundTripKeepsFramesAndDelays) {
    HarnessServices::set_state(u"fmx_WebP.lossless", "1");
    const std::vector<Frame> frames = three_frames();
    const std::string file = saved(frames, 2);
    EXPECT_TRUE(is_animation(file));
    const LoadResult back = load_bytes(file);
    ASSERT_EQ(back.result, VT_OK);
    EXPECT_EQ(back.doc_kind, 2);
    EXPECT_EQ(back.warnings, 0);
    ASSERT_EQ(back.frames.size(), 3u);
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const Frame& f = back.frames[i];
        EXPECT_EQ(f.delay, frames[i].delay);
        EXPECT_EQ(std::pair(f.x, f.y), std::pair(0, 0));
        // Every frame is the whole canvas; the colour under full transparency is free.
        EXPECT_EQ(max_difference(
                      f, Frame{.width = 20, .height = 16, .pixels = centred(frames[i], 20, 16)}),
                  0);
    }
    EXPECT_TRUE(has_entry(back.frames[0], "image.bpp=32;"));
}

TEST_F(WebpPlugin, LaterFramesArriveAsTheRectangleThatChanged) {
    // A small change on a large canvas costs memory in proportion to the change.
    HarnessServices::set_state(u"fmx_WebP.lossless", "1");
    std::vector<Frame> frames(3, make_picture(300, 200, false));
    for (std::uint32_t y = 50; y < 52; ++y)
        for (std::uint32_t x = 100; x < 103; ++x)
            frames[1].pixels[y * 300 + x] ^= 0x00FFFFFFu;
    frames[2] = frames[1];
    frames[2].pixels.back() ^= 0x00FFFFFFu;
    for (std::size_t i = 0; i < 3; ++i)
        frames[i].delay = 50;
    const LoadResult back = load_bytes(saved(frames, 2));
    ASSERT_EQ(back.result, VT_OK);
    using Box = std::array<std::int32_t, 4>;
    EXPECT_EQ(back.delivered,
              (std::vector<Box>{{0, 0, 300, 200}, {100, 50, 3, 2}, {299, 199, 1, 1}}));
    ASSERT_EQ(back.frames.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_EQ(back.frames[i].pixels, frames[i].pixels) << i;
}

TEST_F(WebpPlugin, HowOftenAnAnimationRunsRoundTrips) {
    // The markup's count becomes the file's loop count and comes back; none is endlessly.
    for (const auto& [markup, plays] : {std::pair{"", "0"}, std::pair{"animation.plays=3;", "3"},
                                        std::pair{"animation.plays=1;", "1"}}) {
        std::vector<Frame> frames = three_frames();
        frames[0].markup = std::string("\r\n") + markup;
        const LoadResult back = load_bytes(saved(frames, 2));
        ASSERT_EQ(back.result, VT_OK);
        ASSERT_EQ(back.frames.size(), 3u);
        EXPECT_TRUE(has_entry(back.frames[0], std::string("animation.plays=") + plays + ";"));
    }
    // A still picture says nothing about it.
    const LoadResult still = load_bytes(saved({make_picture(8, 8, false)}));
    ASSERT_EQ(still.result, VT_OK);
    EXPECT_EQ(still.frames.at(0).markup.find("animation."), std::string::npos);
}

TEST_F(WebpPlugin, LossyAnimationAndDefaultDelay) {
    std::vector<Frame> frames = {smooth_picture(40, 30), smooth_picture(40, 30)};
    std::reverse(frames[1].pixels.begin(), frames[1].pixels.end());
    frames[0].delay = 0;
    frames[1].delay = 65535;
    const LoadResult back = load_bytes(saved(frames, 2));
    ASSERT_EQ(back.result, VT_OK);
    ASSERT_EQ(back.frames.size(), 2u);
    EXPECT_EQ(back.frames[0].delay, 100);
    EXPECT_EQ(back.frames[1].delay, 65535);
    for (std::size_t i = 0; i < 2; ++i)
        EXPECT_LT(mean_error(back.frames[i].pixels, frames[i].pixels), 2.0) << i;
}

TEST_F(WebpPlugin, ProfileRoundTripsAndOnlyMarkupBecomesExif) {
    const std::vector<std::uint8_t> profile = block_bytes(3001);
    Frame picture = make_picture(9, 7, false);
    picture.chunks[kTagIcc] = profile;
    // Raw EXIF and XMP chunks are not the source: the markup is, and the harness's markup
    // service exports no EXIF.
    picture.chunks[kTagExif] = {'I', 'I', 42, 0, 8, 0, 0, 0, 0, 0};
    picture.chunks[kTagXmp] = {'<', 'x', '/', '>'};
    picture.markup = "\r\nexif.make=Vantrel Cam;";
    const std::string file = saved({picture});
    EXPECT_EQ(chunk_of(file, "ICCP"), std::string(profile.begin(), profile.end()));
    EXPECT_TRUE(chunk_of(file, "EXIF").empty());
    EXPECT_TRUE(chunk_of(file, "XMP ").empty());
    const LoadResult back = load_bytes(file);
    ASSERT_EQ(back.result, VT_OK);
    EXPECT_EQ(back.frames.at(0).chunks.at(kTagIcc), profile);

    // An animation carries the first frame's profile, and gives it back with frame 0.
    std::vector<Frame> frames = three_frames();
    frames[0].chunks[kTagIcc] = profile;
    const LoadResult animation = load_bytes(saved(frames, 2));
    ASSERT_EQ(animation.result, VT_OK);
    ASSERT_EQ(animation.frames.size(), 3u);
    EXPECT_EQ(animation.frames[0].chunks.at(kTagIcc), profile);
    EXPECT_EQ(animation.frames[1].chunks.count(kTagIcc), 0u);
}

TEST_F(WebpPlugin, ExifAndXmpChunksGoToTheMarkupService) {
    const std::string exif = std::string("Exif\0\0MM\0*\0\0\0\x08\0\0\0\0\0\0", 20);
    const std::string xmp = "<x:xmpmeta><rdf:Description><tiff:Make>Vantrel Cam</tiff:Make>"
                            "</rdf:Description></x:xmpmeta>";
    for (const bool animation : {false, true}) {
        SCOPED_TRACE(animation ? "animation" : "still");
        const std::string plain =
            animation ? saved(three_frames(), 2) : saved({make_picture(8, 8, false)});
        const std::string file = with_chunks(plain, {{"EXIF", exif}, {"XMP ", xmp}});
        HarnessServices::last_exif().clear();
        const LoadResult back = load_bytes(file);
        ASSERT_EQ(back.result, VT_OK);
        EXPECT_EQ(
            std::string(HarnessServices::last_exif().begin(), HarnessServices::last_exif().end()),
            exif);
        EXPECT_TRUE(has_entry(back.frames.at(0), "exif.make=Vantrel Cam;"));
        if (animation) {
            EXPECT_EQ(back.frames.at(1).markup, "");
        }
    }
}

TEST_F(WebpPlugin, OversizedPicturesAreRefusedAndLeaveNoFile) {
    const std::string file = m_temp / "wide.webp";
    const Frame wide{.width = 16384, .height = 1, .pixels = std::vector<std::uint32_t>(16384, 0)};
    EXPECT_EQ(save_with(api(), file, {wide}).result, VT_ERR_DIMENSIONS);
    EXPECT_FALSE(std::filesystem::exists(file));
    const Frame tall{.width = 1, .height = 16384, .pixels = wide.pixels};
    EXPECT_EQ(save_with(api(), file, {make_picture(4, 4, false), tall}, 2).result,
              VT_ERR_DIMENSIONS);
    EXPECT_FALSE(std::filesystem::exists(file));
}

TEST_F(WebpPlugin, HostileHeadersFailCleanly) {
    HarnessServices::set_state(u"fmx_WebP.lossless", "1");
    const std::string still = saved({make_picture(16, 16, false)});
    const std::string animation = saved(three_frames(), 2);
    ASSERT_FALSE(still.empty());
    ASSERT_FALSE(animation.empty());

    std::string riff_beyond = still;
    put_le32(riff_beyond, 4, le32_at(still, 4) + 2);
    std::string riff_huge = still;
    put_le32(riff_huge, 4, 0xFFFFFFF0u);
    std::string riff_short = still;
    put_le32(riff_short, 4, 12);
    // VP8L: 14 bits of width - 1 and height - 1 after the signature byte.
    std::string huge_lossless = still;
    const std::uint32_t sides = 16383u | (16383u << 14);
    put_le32(huge_lossless, 21, sides | (static_cast<std::uint8_t>(still[24]) & 0xF0u) << 24);
    // The extended header's canvas: 24 bits of width - 1, then of height - 1.
    std::string wide_canvas = animation;
    put_le24(wide_canvas, 24, 70000 - 1);
    std::string large_canvas = animation;
    put_le24(large_canvas, 24, 20000 - 1);
    put_le24(large_canvas, 27, 20000 - 1);
    std::string narrow_canvas = animation;
    put_le24(narrow_canvas, 24, 3);
    std::string no_frames = animation.substr(0, 12 + 18 + 14);
    put_le32(no_frames, 4, static_cast<std::uint32_t>(no_frames.size() - 8));

    const Refusal cases[] = {
        {"a RIFF of another kind", "RIFF\x04\0\0\0WAVE", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"header only", std::string("RIFF\x04\0\0\0WEBP", 12), VT_ERR_INVALID_DATA},
        {"RIFF size beyond the file", riff_beyond, VT_ERR_READ},
        {"RIFF size of 4 GiB", riff_huge, VT_ERR_READ},
        {"RIFF size cutting the image", riff_short, VT_ERR_INVALID_DATA},
        {"16384 x 16384 lossless", huge_lossless, VT_ERR_DIMENSIONS},
        {"canvas 70000 wide", wide_canvas, VT_ERR_DIMENSIONS},
        {"canvas of 400 million pixels", large_canvas, VT_ERR_DIMENSIONS},
        {"canvas smaller than its frames", narrow_canvas, VT_ERR_INVALID_DATA},
        {"animation without frames", no_frames, VT_ERR_INVALID_DATA}};
    for (const auto& c : cases) {
        const LoadResult back = load_bytes(c.bytes);
        EXPECT_EQ(back.result, c.result) << c.what;
        EXPECT_TRUE(back.frames.empty()) << c.what;
    }

    // The host refuses a frame it cannot hold before libwebp allocates anything of that size.
    LoadOptions small;
    small.max_pixels = 100;
    EXPECT_EQ(load_bytes(still, small).result, VT_ERR_BITMAP_TOO_BIG);
    EXPECT_EQ(load_bytes(animation, small).result, VT_ERR_BITMAP_TOO_BIG);
}

TEST_F(WebpPlugin, CutsWithARiffSizeThatAgreesFailCleanly) {
    // Plain cuts are the harness's; here the RIFF size agrees, so the decoders meet the end.
    const Frame picture = make_picture(24, 20, true);
    const std::string lossy = saved({picture});
    HarnessServices::set_state(u"fmx_WebP.lossless", "1");
    const std::string lossless = saved({picture});
    const std::string animation = saved(three_frames(), 2);
    for (const std::string* whole : {&lossy, &lossless, &animation}) {
        SCOPED_TRACE(whole->substr(12, 4));
        for (std::size_t n = 12; n < whole->size(); ++n) {
            std::string cut = whole->substr(0, n);
            put_le32(cut, 4, static_cast<std::uint32_t>(n - 8));
            const LoadResult back = load_bytes(cut);
            EXPECT_TRUE(back.result == VT_OK ? !back.frames.empty() : back.result < 0) << n;
            // A still picture is one chunk; only its padding byte may go.
            if (whole != &animation && n + 1 < whole->size()) {
                EXPECT_LT(back.result, 0) << n;
            }
        }
    }
}

TEST_F(WebpPlugin, LosslessVectorsDecodeToTheirGrids) {
    VT_TESTDATA_OR_SKIP(folder, "webp-libwebp");
    for (const auto& [prefix, reference] :
         {std::pair{"lossless_vec_1_", "grid.png"}, std::pair{"lossless_vec_2_", "peak.png"}}) {
        const std::optional<Frame> expected = png_frame(folder / reference);
        ASSERT_TRUE(expected);
        for (int n = 0; n < 16; ++n) {
            const std::string name = prefix + std::to_string(n) + ".webp";
            SCOPED_TRACE(name);
            const LoadResult back = load_with(api(), (folder / name).string());
            ASSERT_EQ(back.result, VT_OK);
            EXPECT_EQ(back.frames.at(0).pixels, expected->pixels);
        }
    }
}

// Compares frames with the suite's reference PNGs: exactly, or within `tolerance` per channel.
void expect_like_references(const LoadResult& back, const std::filesystem::path& folder,
                            const std::string& stem, std::size_t frames, int tolerance) {
    ASSERT_EQ(back.result, VT_OK);
    ASSERT_EQ(back.frames.size(), frames);
    for (std::size_t n = 0; n < frames; ++n) {
        const auto reference =
            folder / (frames > 1 ? stem + "-" + std::to_string(n + 1) + ".png" : stem + ".png");
        SCOPED_TRACE(reference);
        const std::optional<Frame> expected = png_frame(reference);
        ASSERT_TRUE(expected);
        EXPECT_LE(max_difference(back.frames[n], *expected), tolerance);
    }
}

TEST_F(WebpPlugin, AnimatedFilesMatchTheirReferenceFrames) {
    VT_TESTDATA_OR_SKIP(root, "webp-image-rs");
    const struct {
        const char* stem;
        std::size_t frames;
        std::uint16_t delay;
        int tolerance;
    } animations[] = {
        // libwebp 1.2.4 decodes the second and third frame one level above the references in
        // most pixels, each frame's bitstream on its own too; libwebp is matched exactly below.
        {"random_lossless", 3, 100, 1},
        {"random_lossy", 4, 150, 2}};
    for (const auto& a : animations) {
        SCOPED_TRACE(a.stem);
        const auto path = root / "images/animated" / (std::string(a.stem) + ".webp");
        const LoadResult back = load_with(api(), path.string());
        expect_like_references(back, root / "reference/animated", a.stem, a.frames, a.tolerance);
        EXPECT_EQ(back.doc_kind, 2);
        const auto expected = libwebp_frames(read_bytes(path));
        ASSERT_EQ(expected.size(), back.frames.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
            const Frame& f = back.frames[i];
            EXPECT_EQ(f.delay, a.delay);
            EXPECT_EQ(f.pixels, expected[i]) << i;
        }
    }
    for (const auto& [stem, tolerance] :
         {std::pair{"color_index", 0}, std::pair{"lossless_indexed_1bit_palette", 0},
          std::pair{"lossless_indexed_2bit_palette", 0},
          std::pair{"lossless_indexed_4bit_palette", 0}, std::pair{"dark", 2}}) {
        SCOPED_TRACE(stem);
        const LoadResult back =
            load_with(api(), (root / "images/regression" / (std::string(stem) + ".webp")).string());
        expect_like_references(back, root / "reference/regression", stem, 1, tolerance);
        EXPECT_EQ(back.doc_kind, 0);
    }
}

} // namespace
} // namespace vt::test
