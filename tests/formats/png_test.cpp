#include <gtest/gtest.h>

#include <zlib.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "image/deep_image.h"
#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

void be32(std::string& s, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8)
        s += static_cast<char>((v >> shift) & 0xFF);
}

std::string chunk(std::string_view type, std::string_view data) {
    std::string out;
    be32(out, static_cast<std::uint32_t>(data.size()));
    std::string body(type);
    body += data;
    out += body;
    be32(out, static_cast<std::uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(body.data()),
                                                 static_cast<uInt>(body.size()))));
    return out;
}

const std::string kSignature("\x89PNG\r\n\x1a\n", 8);

std::string ihdr(std::uint32_t width, std::uint32_t height, int depth = 8, int colour = 2) {
    std::string data;
    be32(data, width);
    be32(data, height);
    data += static_cast<char>(depth);
    data += static_cast<char>(colour);
    data += std::string(3, '\0');
    return kSignature + chunk("IHDR", data);
}

// Inserts chunks just before IEND.
std::string with_chunks_before_end(const std::string& png, const std::string& chunks) {
    const std::size_t end = png.size() - 12;
    return png.substr(0, end) + chunks + png.substr(end);
}

std::string header(std::uint32_t width, std::uint32_t height) {
    // libpng reads up to the first image data chunk before the size is known.
    return ihdr(width, height) + chunk("IDAT", std::string("\x78\x9c", 2)) + chunk("IEND", "");
}

std::optional<Frame> libpng_decode(const std::filesystem::path& file) {
    if (file.filename().string()[0] == 'x') // broken on purpose
        return std::nullopt;
    return png_frame(file);
}

VT_FORMAT_CONFORMANCE(Png, FormatRow{.plugin = "fmx_PNG",
                                     .extension = ".png",
                                     .header = header,
                                     .reference = libpng_decode,
                                     .corpus = "pngsuite/png",
                                     .corpus_extension = ".png",
                                     .compared = 161,
                                     .frame_sets = 2});

class PngPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PNG"); }
};

TEST_F(PngPlugin, BitDepthOfTheFileIsInTheMarkup) {
    VT_TESTDATA_OR_SKIP(folder, "pngsuite/png");
    const struct {
        const char* file;
        const char* bpp;
    } cases[] = {{"basn0g01.png", "image.bpp=1;"},
                 {"basn3p04.png", "image.bpp=4;"},
                 {"basn2c08.png", "image.bpp=24;"},
                 {"basn4a16.png", "image.bpp=32;"},
                 {"basn6a16.png", "image.bpp=64;"}};
    for (const auto& c : cases) {
        const LoadResult loaded = load_with(api(), (folder / c.file).string());
        ASSERT_EQ(loaded.result, VT_OK) << c.file;
        EXPECT_TRUE(has_entry(loaded.frames[0], c.bpp)) << c.file;
    }
}

TEST_F(PngPlugin, ExifChunkGoesToTheMarkupService) {
    VT_TESTDATA_OR_SKIP(folder, "pngsuite/png");
    HarnessServices::last_exif().clear();
    const LoadResult loaded = load_with(api(), (folder / "exif2c08.png").string());
    ASSERT_EQ(loaded.result, VT_OK);
    const auto& exif = HarnessServices::last_exif();
    ASSERT_GE(exif.size(), 8u);
    const std::string order(exif.begin(), exif.begin() + 4);
    EXPECT_TRUE(order == std::string("MM\0*", 4) || order == std::string("II*\0", 4));
}

TEST_F(PngPlugin, XmpFromItxtBecomesMarkup) {
    const std::string file = m_temp / "xmp.png";
    ASSERT_EQ(save_with(api(), file, {make_picture(4, 3, false)}).result, VT_OK);
    const std::string xmp = "<x:xmpmeta><rdf:Description><tiff:Make>Vantrel Cam</tiff:Make>"
                            "<exif:FNumber>28/10</exif:FNumber></rdf:Description></x:xmpmeta>";
    const std::string itxt = std::string("XML:com.adobe.xmp\0\0\0\0\0", 22) + xmp;
    write_bytes(file, with_chunks_before_end(read_bytes(file), chunk("iTXt", itxt)));
    const LoadResult loaded = load_with(api(), file);
    ASSERT_EQ(loaded.result, VT_OK);
    for (const char* entry : {"exif.make=Vantrel Cam;", "exif.aperture=f/2.8;", "image.bpp=24;"})
        EXPECT_TRUE(has_entry(loaded.frames[0], entry));
}

// The filter type of every row of a saved file: its image data inflated.
std::vector<int> row_filters(const std::string& bytes, std::size_t row_bytes, std::size_t rows) {
    std::string stream;
    for (std::size_t at = 8; at + 12 <= bytes.size();) {
        const auto* b = reinterpret_cast<const unsigned char*>(bytes.data() + at);
        const std::size_t length =
            std::size_t{b[0]} << 24 | std::size_t{b[1]} << 16 | std::size_t{b[2]} << 8 | b[3];
        if (bytes.compare(at + 4, 4, "IDAT") == 0)
            stream += bytes.substr(at + 8, length);
        at += 12 + length;
    }
    std::vector<unsigned char> raw((row_bytes + 1) * rows);
    uLongf size = static_cast<uLongf>(raw.size());
    std::vector<int> filters;
    if (uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(stream.data()),
                   static_cast<uLong>(stream.size())) != Z_OK ||
        size != raw.size())
        return filters;
    for (std::size_t y = 0; y < rows; ++y)
        filters.push_back(raw[y * (row_bytes + 1)]);
    return filters;
}

TEST_F(PngPlugin, SavedPicturesLoadBackIdentical) {
    // Level 0 is libpng's own row-by-row writer; the others filter and compress the picture
    // whole. Both must give what libpng itself decodes to the same pixels.
    const struct {
        std::uint32_t w, h;
        bool transparent;
        char colour_type; // in the written header
    } cases[] = {{1, 1, false, 2}, {257, 3, false, 2},   {31, 17, true, 6},
                 {3, 64, true, 6}, {300, 200, false, 2}, {120, 90, true, 6}};
    for (const char* level : {"0", "1", "", "9"}) {
        if (*level != 0)
            HarnessServices::set_state(u"fmx_PNG.level", level);
        else
            HarnessServices::state().erase(u"fmx_PNG.level");
        std::vector<int> used(5, 0);
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " level " + level);
            // Noise, and for the larger ones smooth gradients under it, so that every filter
            // type wins some rows.
            Frame picture = make_picture(c.w, c.h, c.transparent);
            if (c.w >= 100 && c.h >= 16)
                for (std::uint32_t y = 0; y < c.h; ++y)
                    for (std::uint32_t x = 0; x < c.w; ++x) {
                        const std::uint32_t v = (x * 255 / c.w + (y / 7 % 3) * (y % 5)) & 255;
                        std::uint32_t& p = picture.pixels[y * c.w + x];
                        p = (y % 13 == 0)
                                ? p
                                : (p & 0xFF000000u) | v << 16 | (255 - v) << 8 | ((x * y) & 255);
                    }
            // Rows that the average of left and above predicts exactly.
            if (c.w >= 100 && c.h >= 100 && !c.transparent)
                for (std::uint32_t y = c.h / 2; y < c.h / 2 + 8; ++y)
                    for (std::uint32_t x = 0; x < c.w; ++x) {
                        std::uint32_t p = 0;
                        for (std::uint32_t shift = 0; shift < 24; shift += 8) {
                            const std::uint32_t left =
                                x > 0 ? (picture.pixels[y * c.w + x - 1] >> shift) & 255 : 0;
                            const std::uint32_t up =
                                (picture.pixels[(y - 1) * c.w + x] >> shift) & 255;
                            p |= ((left + up) >> 1) << shift;
                        }
                        picture.pixels[y * c.w + x] = p;
                    }
            const std::string file = m_temp / "round.png";
            ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
            const std::string bytes = read_bytes(file);
            EXPECT_EQ(bytes[25], c.colour_type);
            const LoadResult loaded = load_with(api(), file);
            ASSERT_EQ(loaded.result, VT_OK);
            EXPECT_EQ(loaded.frames[0].pixels, picture.pixels);

            // libpng decodes the same pixels, the colour under full transparency too.
            EXPECT_EQ(png_frame(file).value_or(Frame{}).pixels, picture.pixels);
            const std::vector<int> filters =
                row_filters(bytes, c.w * (c.transparent ? 4u : 3u), c.h);
            ASSERT_EQ(filters.size(), c.h);
            for (const int f : filters) {
                ASSERT_LT(f, 5);
                ++used[static_cast<std::size_t>(f)];
            }
        }
        for (int f = 0; f < 5; ++f)
            EXPECT_GT(used[static_cast<std::size_t>(f)], 0) << "filter " << f;
    }
    HarnessServices::state().erase(u"fmx_PNG.level");
}

TEST_F(PngPlugin, CompressionLevelComesFromTheStateStore) {
    const Frame picture = make_picture(200, 200, false);
    auto size_with = [&](std::string_view value) {
        if (value.empty())
            HarnessServices::state().erase(u"fmx_PNG.level");
        else
            HarnessServices::set_state(u"fmx_PNG.level", value);
        const std::string file = m_temp / "level.png";
        EXPECT_EQ(save_with(api(), file, {picture}).result, VT_OK);
        return read_bytes(file).size();
    };
    const std::size_t stored = size_with("0");
    const std::size_t best = size_with(std::string("\x09\0\0\0", 4));
    const std::size_t standard = size_with("");
    HarnessServices::state().erase(u"fmx_PNG.level");
    EXPECT_GT(stored, 200u * 200u * 3u);
    EXPECT_LT(best, stored);
    EXPECT_LT(standard, stored);
}

TEST_F(PngPlugin, BrokenHeadersAreRefused) {
    const std::string iend = chunk("IEND", "");
    expect_results({
        {"not a png", "GIF89a and then some bytes", VT_ERR_CORRUPT_OR_UNSUPPORTED},
        {"signature only", kSignature, VT_ERR_READ},
        {"huge picture in a tiny file", header(15000, 15000), VT_ERR_READ},
        {"bad bit depth", ihdr(4, 4, 3, 2) + iend, VT_ERR_INVALID_DATA},
        {"no image data", ihdr(4, 4) + iend, VT_ERR_INVALID_DATA},
        {"cut after the header", ihdr(4, 4), VT_ERR_READ},
    });
}

// FFmpeg's animated PNGs: later frames as rectangles, opaque and with blending over what is
// there. Every frame as FFmpeg composes it, as the rectangle that changed, and every cut of
// the file either fails or keeps whole frames; saved again, FFmpeg reads the same frames.
TEST_F(PngPlugin, AnimatedPngFramesMatchFfmpeg) {
    const TempFolder temp;
    for (const char* filter : {"testsrc=size=64x48:rate=5",
                               "testsrc2=size=64x48:rate=5,format=rgba,colorchannelmixer=aa=0.5"}) {
        SCOPED_TRACE(filter);
        const std::string file = temp / "anim.png";
        if (!run_tool(std::string("ffmpeg -v error -y -f lavfi -i '") + filter +
                      "' -frames:v 6 -plays 3 -f apng '" + file + "'"))
            GTEST_SKIP() << "no ffmpeg";
        const std::vector<Frame> outside = ffmpeg_frames(file);
        const LoadResult loaded = load_with(api(), file);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.doc_kind, 2);
        ASSERT_EQ(loaded.frames.size(), outside.size());
        ASSERT_EQ(loaded.frames.size(), 6u);
        for (std::size_t i = 0; i < outside.size(); ++i) {
            EXPECT_LE(max_difference(loaded.frames[i], outside[i]), 1) << i;
            EXPECT_EQ(loaded.frames[i].delay, 200) << i;
            if (i > 0) {
                EXPECT_LT(loaded.delivered[i][2] * loaded.delivered[i][3], 64 * 48) << i;
            }
        }
        EXPECT_NE(loaded.frames[0].markup.find("animation.plays=3;"), std::string::npos);

        // Written again as an animation, FFmpeg shows exactly these frames.
        const std::string again = temp / "again.png";
        ASSERT_EQ(save_with(api(), again, loaded.frames, 2).result, VT_OK);
        const std::vector<Frame> back = ffmpeg_frames(again);
        ASSERT_EQ(back.size(), loaded.frames.size());
        for (std::size_t i = 0; i < back.size(); ++i)
            EXPECT_EQ(max_difference(back[i], loaded.frames[i]), 0) << i;

        // The default image's data in two IDAT chunks, as large files have it, reads the same.
        const std::string bytes = read_bytes(file);
        const std::size_t idat = bytes.find("IDAT") - 4;
        const std::size_t length = static_cast<std::uint8_t>(bytes[idat + 2]) * 256u +
                                   static_cast<std::uint8_t>(bytes[idat + 3]);
        const std::string data = bytes.substr(idat + 8, length);
        write_bytes(temp / "split.png",
                    bytes.substr(0, idat) + chunk("IDAT", data.substr(0, length / 2)) +
                        chunk("IDAT", data.substr(length / 2)) + bytes.substr(idat + 12 + length));
        const LoadResult split = load_with(api(), temp / "split.png");
        ASSERT_EQ(split.frames.size(), loaded.frames.size());
        for (std::size_t i = 0; i < split.frames.size(); ++i)
            EXPECT_EQ(split.frames[i].pixels, loaded.frames[i].pixels) << i;

        for (std::size_t cut = 40; cut < bytes.size(); cut += 97) {
            const std::string part = temp / "cut.png";
            write_bytes(part, bytes.substr(0, cut));
            const LoadResult r = load_with(api(), part);
            for (const Frame& f : r.frames)
                ASSERT_EQ(std::pair(f.width, f.height), std::pair(64u, 48u)) << cut;
        }
    }
}

// A chunk whose CRC does not match is refused when a picture is made of it, as libpng (and so
// ImageMagick) refuses a critical one; a damaged ancillary chunk is left out. An animation's
// frames are rebuilt into chunks of their own, so its chunks must be checked before that.
TEST_F(PngPlugin, DamagedChunksAreRefusedOrLeftOut) {
    VT_TESTDATA_OR_SKIP(suite, "pngsuite/png");
    const TempFolder temp;
    const std::string still = read_bytes(suite / "ctzn0g04.png");
    const std::string animated = temp / "anim.png";
    const bool have_ffmpeg = run_tool("ffmpeg -v error -y -f lavfi -i testsrc=size=32x24:rate=5 "
                                      "-frames:v 3 -f apng '" +
                                      animated + "'");
    struct Case {
        std::string bytes;
        bool animation;
    };
    std::vector<Case> sources = {{still, false}};
    if (have_ffmpeg)
        sources.push_back({read_bytes(animated), true});
    const bool have_magick = run_tool("convert -version");
    int refused = 0;
    for (const Case& source : sources) {
        const std::string& bytes = source.bytes;
        const std::size_t frames = load_bytes(bytes).frames.size();
        ASSERT_EQ(frames, source.animation ? 3u : 1u);
        for (std::size_t at = 8; at + 12 <= bytes.size();) {
            const std::size_t length = static_cast<std::uint8_t>(bytes[at + 2]) * 256u +
                                       static_cast<std::uint8_t>(bytes[at + 3]);
            const std::string type = bytes.substr(at + 4, 4);
            std::string damaged = bytes;
            damaged[at + 8 + length] = static_cast<char>(damaged[at + 8 + length] ^ 0x5A);
            const bool fatal = std::isupper(static_cast<unsigned char>(type[0])) != 0 ||
                               type == "acTL" || type == "fcTL" || type == "fdAT";
            const LoadResult r = load_bytes(damaged);
            EXPECT_EQ(r.result, fatal ? VT_ERR_INVALID_DATA : VT_OK) << type;
            EXPECT_EQ(r.frames.size(), fatal ? 0u : frames) << type;
            refused += fatal ? 1 : 0;
            // ImageMagick agrees on the still picture.
            const std::string file = temp / "damaged.png";
            write_bytes(file, damaged);
            if (!source.animation && have_magick) {
                EXPECT_EQ(magick_frame(file).has_value(), !fatal) << type;
            }
            at += length + 12;
        }
    }
    EXPECT_GE(refused, have_ffmpeg ? 11 : 3);
    for (const char* name : {"xcsn0g01.png", "xhdn0g08.png"})
        EXPECT_EQ(load_with(api(), suite / name).result, VT_ERR_INVALID_DATA) << name;
}

// --- 16 bits per channel (deep pictures)

struct DeepSource {
    const char* name;
    const char* magick; // ImageMagick's arguments that draw it
    std::uint32_t channels;
    std::uint8_t colour_type; // of the file, and of a save that keeps it
};

const DeepSource kDeepSources[] = {
    {"rgb",
     "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform "
     "-depth 16 PNG48:",
     4, 2},
    {"rgba",
     "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)' -depth 16 PNG64:", 4, 6},
    {"grey",
     "-size 31x17 gradient:black-white -seed 3 -attenuate 0.2 +noise Uniform "
     "-colorspace Gray -depth 16 -define png:color-type=0 -define png:bit-depth=16 ",
     2, 0},
    {"grey-alpha",
     "-size 31x17 gradient:black-white -colorspace Gray -alpha set -channel A "
     "-fx 'i/w' +channel -depth 16 -define png:color-type=4 "
     "-define png:bit-depth=16 ",
     2, 4},
};

// The 8-bit pixel a deep sample stands for: the host's rounding.
std::uint32_t eight_bit_of(const std::uint16_t* rgba) {
    using image::to_8bit;
    return std::uint32_t{to_8bit(rgba[2])} | std::uint32_t{to_8bit(rgba[1])} << 8 |
           std::uint32_t{to_8bit(rgba[0])} << 16 | (255u - to_8bit(rgba[3])) << 24;
}

TEST_F(PngPlugin, SixteenBitFilesDeliverTheirSamplesBesideTheUnchangedEightBitFrame) {
    const TempFolder temp;
    for (const DeepSource& source : kDeepSources) {
        SCOPED_TRACE(source.name);
        const std::filesystem::path file = temp / (std::string(source.name) + ".png");
        if (!run_tool(std::string("convert ") + source.magick + quoted(file)))
            GTEST_SKIP() << "no ImageMagick";
        ASSERT_EQ(static_cast<std::uint8_t>(read_bytes(file)[25]), source.colour_type);
        const LoadResult plain = load_with(api(), file);
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult deep = load_with(api(), file, ask);
        ASSERT_EQ(deep.result, VT_OK);
        ASSERT_EQ(deep.frames.size(), 1u);
        // Asking changes nothing of the 8-bit picture.
        EXPECT_EQ(deep.frames[0].pixels, plain.frames[0].pixels);
        ASSERT_FALSE(deep.deep.empty());
        EXPECT_EQ(deep.deep.width, deep.frames[0].width);
        EXPECT_EQ(deep.deep.height, deep.frames[0].height);
        EXPECT_EQ(deep.deep.channels, source.channels);
        EXPECT_EQ(deep.deep.bits, 16u);
        const std::vector<std::uint16_t> rgba = deep_rgba(deep.deep);
        EXPECT_EQ(rgba, magick_rgba16(file));
        // The 8-bit frame is the deep picture rounded by the documented rule.
        ASSERT_EQ(rgba.size(), deep.frames[0].pixels.size() * 4);
        std::size_t differ = 0;
        for (std::size_t i = 0; i < deep.frames[0].pixels.size(); ++i)
            differ += eight_bit_of(&rgba[4 * i]) != deep.frames[0].pixels[i];
        EXPECT_EQ(differ, 0u);
    }
}

TEST_F(PngPlugin, DeepPicturesSaveAndLoadBackBitExact) {
    const TempFolder temp;
    for (const DeepSource& source : kDeepSources) {
        SCOPED_TRACE(source.name);
        const std::filesystem::path file = temp / (std::string(source.name) + ".png");
        if (!run_tool(std::string("convert ") + source.magick + quoted(file)))
            GTEST_SKIP() << "no ImageMagick";
        LoadOptions ask;
        ask.want_deep = true;
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_FALSE(loaded.deep.empty());
        const std::string saved = temp / (std::string(source.name) + "-saved.png");
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        const std::string bytes = read_bytes(saved);
        EXPECT_EQ(static_cast<int>(bytes[24]), 16);
        EXPECT_EQ(static_cast<std::uint8_t>(bytes[25]), source.colour_type);
        const LoadResult again = load_with(api(), saved, ask);
        EXPECT_EQ(again.deep.samples, loaded.deep.samples);
        EXPECT_EQ(again.frames[0].pixels, loaded.frames[0].pixels);
        EXPECT_EQ(magick_rgba16(saved), magick_rgba16(file));
    }
}

TEST_F(PngPlugin, EightBitFilesAndUnfitOffersStayEightBit) {
    const TempFolder temp;
    const std::filesystem::path file = temp / "eight.png";
    if (!run_tool("convert -size 20x10 gradient:red-blue PNG24:" + quoted(file)))
        GTEST_SKIP() << "no ImageMagick";
    LoadOptions ask;
    ask.want_deep = true;
    const LoadResult loaded = load_with(api(), file, ask);
    ASSERT_EQ(loaded.result, VT_OK);
    EXPECT_TRUE(loaded.deep.empty()); // nothing deeper than what the frame holds

    const struct {
        const char* what;
        DeepFrame offer;
    } offers[] = {
        {"another size", {21, 10, 4, 16, std::vector<std::uint16_t>(21 * 10 * 4, 1)}},
        {"three channels", {20, 10, 3, 16, std::vector<std::uint16_t>(20 * 10 * 3, 1)}},
    };
    for (const auto& c : offers) {
        SCOPED_TRACE(c.what);
        const std::string saved = temp / "offered.png";
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &c.offer);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_FALSE(result.deep_written);
        EXPECT_EQ(static_cast<int>(read_bytes(saved)[24]), 8);
        EXPECT_EQ(load_with(api(), saved).frames[0].pixels, loaded.frames[0].pixels);
    }
}

TEST_F(PngPlugin, SaveCheckSaysItWritesSixteenBits) {
    const FilterCheck png = check_with(api().check_save, u".png");
    EXPECT_EQ(png.level, 100);
    EXPECT_EQ(png.deep_bits, 16);
    EXPECT_EQ(check_with(api().check_save, u".bmp").deep_bits, 0);
}

} // namespace
} // namespace vt::test
