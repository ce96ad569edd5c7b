#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "base/utf.h"
#include "gfxcore/runtime.h"
#include "image/image_doc.h"
#include "plugins/load_save.h"
#include "plugins/state_store.h"
#include "tests/formats/deep_files.h"
#include "tests/formats/format_conformance.h"
#include "tests/formats/outside_tools.h"

namespace vt::test {
namespace {

void be(std::string& s, std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i)
        s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A flat file of `channels` in colour mode `mode`, with colour mode data and resources, raw.
std::string flat(std::uint32_t mode, std::uint32_t depth, std::uint32_t channels,
                 std::uint32_t width, std::uint32_t height, const std::string& colours = {},
                 const std::string& resources = {}) {
    std::string s = "8BPS";
    for (const auto& [value, bytes] :
         {std::pair{1u, 2}, {0u, 6}, {channels, 2}, {height, 4}, {width, 4}, {depth, 2}, {mode, 2}})
        be(s, value, bytes);
    be(s, static_cast<std::uint32_t>(colours.size()), 4);
    s += colours;
    be(s, static_cast<std::uint32_t>(resources.size()), 4);
    s += resources;
    be(s, 0, 6); // no layers, raw samples
    return s;
}

// A flat RGB file claiming width x height with raw pixels that are not there.
std::string header(std::uint32_t width, std::uint32_t height) {
    return flat(3, 8, 3, width, height) + "abc";
}

std::string resource(std::uint32_t id, const std::string& data) {
    std::string s = "8BIM";
    be(s, id, 2);
    be(s, 0, 2);
    be(s, static_cast<std::uint32_t>(data.size()), 4);
    return s + data + (data.size() % 2 != 0 ? std::string(1, '\0') : "");
}

// ImageMagick's decode of the bottom layer, or of the merged picture of a flat file.
std::optional<Frame> reference(const std::filesystem::path& file) {
    using vt::test::quoted;
    const std::filesystem::path pam = file.string() + ".layer.pam";
    const std::string to = " -colorspace sRGB " + quoted(pam);
    if (!run_tool("convert " + quoted(std::filesystem::path(file.string() + "[1]")) + to) &&
        !run_tool("convert " + quoted(std::filesystem::path(file.string() + "[0]")) + to))
        return std::nullopt;
    std::optional<Frame> frame = magick_frame(pam);
    std::filesystem::remove(pam);
    return frame;
}

// ImageMagick writes its layers deflated, and cannot read its own palette files back.
int corpus(const std::filesystem::path& folder) {
    int made = magick_corpus(folder, ".psd",
                             {"", "-alpha off", "-depth 16", "-alpha off -colorspace CMYK",
                              "-colorspace Gray", "-alpha off -compress None"});
    const std::string layered =
        " \\( +clone -set label Bottom \\) \\( -size 9x5 xc:green -set label Top -repage +4+3 \\) ";
    made += run_tool("convert " + quoted(folder / "0.psd") + layered + quoted(folder / "l.psd"));
    // The large layout, flat and layered.
    for (const char* name : {"1", "l"})
        made += run_tool("convert " + quoted(folder / (name + std::string(".psd"))) +
                         " PSB:" + quoted(folder / (name + std::string("b.psd"))));
    return made;
}

VT_FORMAT_CONFORMANCE(Psd, FormatRow{.plugin = "fmx_PSD",
                                     .extension = ".psd",
                                     .header = header,
                                     .reference = reference,
                                     .make_corpus = corpus,
                                     .compared = 9,
                                     .tolerance = 1,
                                     .layered = true});

// A 1 x 1 picture of layers from the bottom, each {flags, group marker, blend key, opacity}:
// 1 x 1 grey pixels, or none for a group's markers.
std::string
grouped(std::initializer_list<std::tuple<int, std::uint32_t, const char*, unsigned char>> layers) {
    std::string records;
    std::string data;
    for (const auto& [flags, marker, blend, opacity] : layers) {
        const std::uint32_t side = marker != 0 ? 0 : 1;
        be(records, 0, 8);
        be(records, side, 4);
        be(records, side, 4);
        be(records, 3, 2);
        for (const std::uint32_t id : {0u, 1u, 2u}) {
            be(records, id, 2);
            be(records, 2 + side, 4);
            data += std::string(2, '\0') + std::string(side, '\x7f');
        }
        records += std::string("8BIM") + blend + static_cast<char>(opacity) + std::string(1, '\0');
        records += static_cast<char>(flags) + std::string(1, '\0');
        std::string extra(12, '\0'); // no mask, no blending ranges, no name
        if (marker != 0) {
            extra += "8BIMlsct";
            be(extra, 4, 4);
            be(extra, marker, 4);
        }
        be(records, static_cast<std::uint32_t>(extra.size()), 4);
        records += extra;
    }
    std::string info;
    be(info, static_cast<std::uint32_t>(layers.size()), 2);
    info += records + data + std::string(data.size() % 2, '\0');
    std::string s = flat(3, 8, 3, 1, 1);
    s.resize(s.size() - 6);
    be(s, static_cast<std::uint32_t>(info.size() + 8), 4);
    be(s, static_cast<std::uint32_t>(info.size()), 4);
    s += info;
    be(s, 0, 6); // no global mask; raw merged samples
    return s + "abc";
}

// A layer of the table below: its record and a solid colour.
struct Row {
    const char16_t* name;
    std::int32_t x, y;
    std::uint32_t w, h;
    std::uint16_t mode; // blend mode, hidden bit
    std::uint8_t transparency, attr;
};

TEST(PsdLayers, KeepTheirRecordsThroughVt5AndOpenElsewhere) {
    char16_t why[128];
    ASSERT_TRUE(gfx::EngineStartup(why, 128));
    TempFolder tmp;
    plugins::StateStore store{tmp.sub16("state")};
    plugins::FilterRegistry::Options options;
    options.plugins_folder = base::utf8_to_utf16(VT_PLUGINS_DIR);
    options.data_root = tmp.path16();
    options.store = &store;
    plugins::FilterRegistry registry(options);
    const Row rows[] = {
        {u"Canvas", 0, 0, 40, 30, 0, 0, 2},            // added under layers by the reader
        {u"Ünïcode multiply", 5, 3, 20, 10, 3, 64, 1}, // clipped
        {u"Hidden screen", -4, 12, 10, 10, 8 | 0x100, 0, 0},
        {u"Overlay beyond", 30, 20, 16, 16, 15, 200, 0},
        {u"Colour dodge", 2, 2, 3, 4, 16, 0, 0},
    };
    auto doc = std::make_unique<Layer[]>(image::kMaxLayers);
    std::memset(doc.get(), 0, sizeof(Layer) * image::kMaxLayers);
    std::uint32_t colour = 0x00FF0000;
    for (std::size_t i = 0; i < std::size(rows); ++i, colour = colour >> 4 | 0x40) {
        Layer& l = doc[i];
        ASSERT_NE(image::CreateBitmap(&l.bitmap, static_cast<std::int32_t>(rows[i].w),
                                      static_cast<std::int32_t>(rows[i].h), image::kCreateMemory),
                  0);
        ASSERT_NE(image::LockBitmap(&l.bitmap, 0), 0);
        std::fill_n(l.bitmap.pixels, rows[i].w * rows[i].h, i == 0 ? 0xFF000000u : colour);
        image::UnlockBitmap(&l.bitmap, 0);
        std::u16string(rows[i].name).copy(reinterpret_cast<char16_t*>(l.name), 31);
        l.x = rows[i].x;
        l.y = rows[i].y;
        l.mode = rows[i].mode;
        l.transparency = rows[i].transparency;
        l.attr = rows[i].attr;
    }
    image::LoadStatus status;
    status.silent = 1;
    const std::uint32_t n = std::size(rows);
    for (const char* step : {"a.psd", "b.vt5", "c.psd"}) {
        ASSERT_GT(plugins::save_image(tmp.sub16(step), doc.get(), n, status, registry), 0) << step;
        for (std::uint32_t i = 0; i < n; ++i)
            image::release_layer(doc[i]);
        ASSERT_EQ(plugins::load_image(tmp.sub16(step), doc.get(), 1024, status, registry), n);
    }
    for (std::size_t i = 0; i < n; ++i) {
        const Layer& l = doc[i];
        EXPECT_EQ(reinterpret_cast<const char16_t*>(l.name), std::u16string(rows[i].name)) << i;
        EXPECT_EQ(l.x, rows[i].x) << i;
        EXPECT_EQ(l.y, rows[i].y) << i;
        EXPECT_EQ(l.bitmap.width, rows[i].w) << i;
        EXPECT_EQ(l.mode, rows[i].mode) << i;
        EXPECT_EQ(l.transparency, rows[i].transparency) << i;
        EXPECT_EQ(l.attr, rows[i].attr) << i;
    }
    // Another reader sees the merged picture and the same layers (the canvas left out).
    const std::string listed = tmp / "layers.txt";
    const std::filesystem::path written = tmp / "c.psd";
    ASSERT_TRUE(run_tool("convert " + quoted(written) + " -format '%l %X%Y;' info:" + listed));
    // (the Pascal name it reads is ASCII; the whole name is in the Unicode block)
    EXPECT_EQ(read_bytes(listed), " +0+0;?n?code multiply +5+3;Hidden screen -4+12;"
                                  "Overlay beyond +30+20;Colour dodge +2+2;");
    for (std::uint32_t i = 0; i < n; ++i)
        image::release_layer(doc[i]);
    // A group's opacity multiplies its layers' (200 x 128 / 255: 100); its mode other than
    // pass-through or normal is lost, with the warning.
    for (const char* mode : {"norm", "mul "}) {
        write_bytes(tmp / "o.psd", grouped({{0, 3, "norm", 255},
                                            {0, 0, "norm", 200},
                                            {0, 1, mode, 128},
                                            {0, 0, "norm", 255}}));
        status.warnings[1] = 0;
        // Under the group's opacity the bottom layer is no canvas: the host draws one.
        ASSERT_EQ(plugins::load_image(tmp.sub16("o.psd"), doc.get(), 1024, status, registry), 3u);
        EXPECT_EQ(std::tuple(doc[1].transparency, doc[2].transparency, status.warnings[1]),
                  std::tuple(255 - 100, 0, mode[0] == 'm' ? 1 : 0));
        for (std::uint32_t i = 0; i < 3; ++i)
            image::release_layer(doc[i]);
    }
    // A hidden group hides its layers; a blend key our operators lack draws normally.
    write_bytes(
        tmp / "g.psd",
        grouped(
            {{0, 3, "norm", 255}, {0, 0, "norm", 255}, {2, 1, "norm", 255}, {0, 0, "sLit", 255}}));
    status.warnings[2] = 0;
    ASSERT_EQ(plugins::load_image(tmp.sub16("g.psd"), doc.get(), 1024, status, registry), 2u);
    EXPECT_EQ(doc[0].mode, 0x100);
    EXPECT_EQ(doc[1].mode, 0);
    EXPECT_EQ(status.warnings[2], 1);
    // ... and is written again.
    ASSERT_GT(plugins::save_image(tmp.sub16("h.psd"), doc.get(), 2, status, registry), 0);
    for (std::uint32_t i = 0; i < 2; ++i)
        image::release_layer(doc[i]);
    status.warnings[2] = 0;
    ASSERT_EQ(plugins::load_image(tmp.sub16("h.psd"), doc.get(), 1024, status, registry), 2u);
    EXPECT_EQ(status.warnings[2], 1);
    for (std::uint32_t i = 0; i < 2; ++i)
        image::release_layer(doc[i]);
    gfx::EngineShutdown();
}

class PsdPlugin : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PSD"); }
};

TEST_F(PsdPlugin, MergedPicturesDecode) {
    std::string palette(768, '\0');
    palette[0] = palette[512 + 1] = '\xff'; // 0 red, 1 blue
    const std::string one = resource(0x0417, std::string("\0\1", 2));
    const struct {
        const char* what;
        std::string bytes;
        std::vector<std::uint32_t> pixels;
    } cases[] = {
        {"indexed, 1 transparent",
         flat(2, 8, 1, 2, 1, palette, one) + std::string("\0\1", 2),
         {bgrt(255, 0, 0), bgrt(0, 0, 255, 255)}},
        {"CMYK, white left where there is no ink",
         flat(4, 8, 4, 1, 1) + std::string("\xff\0\x80\xff", 4),
         {bgrt(255, 0, 128)}},
        {"16-bit grey",
         flat(1, 16, 1, 2, 1) + std::string("\xff\xff\x80\x80", 4),
         {bgrt(255, 255, 255), bgrt(128, 128, 128)}},
        {"RGB with transparency", flat(3, 8, 4, 1, 1) + "\1\2\3\x40", {bgrt(1, 2, 3, 191)}},
    };
    for (const auto& c : cases) {
        const LoadResult loaded = load_bytes(c.bytes);
        ASSERT_EQ(loaded.result, VT_OK) << c.what;
        EXPECT_EQ(loaded.frames[0].pixels, c.pixels) << c.what;
    }
}

TEST_F(PsdPlugin, ResolutionAndProfileComeBack) {
    std::string res;
    for (const std::uint32_t ppi : {300u << 16, 150u << 16}) {
        be(res, ppi, 4);
        be(res, 0x10001, 4);
    }
    const std::vector<std::uint8_t> icc = block_bytes(999);
    const std::string file =
        flat(3, 8, 3, 1, 1, {},
             resource(0x03ED, res) + resource(0x040F, std::string(icc.begin(), icc.end()))) +
        "abc";
    const LoadResult first = load_bytes(file);
    ASSERT_EQ(first.result, VT_OK);
    const std::vector<std::uint8_t> phys = {1, 0, 0, 0, 44, 1, 0, 0, 150, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(first.frames[0].chunks.at(VT_TAG('P', 'H', 'Y', 'S')), phys);
    EXPECT_EQ(first.frames[0].chunks.at(VT_TAG('I', 'C', 'C', 'P')), icc);
    const std::string again = m_temp / "again.psd";
    ASSERT_EQ(save_with(api(), again, first.frames).result, VT_OK);
    const LoadResult second = load_with(api(), again);
    ASSERT_EQ(second.result, VT_OK);
    EXPECT_EQ(second.frames[0].chunks, first.frames[0].chunks);
}

TEST_F(PsdPlugin, HostileFilesAreRefused) {
    std::string large = header(300000, 1);
    large[5] = 2; // the large layout's limit is ten times higher, beyond a bitmap's
    std::string layers = header(2, 2);
    layers.replace(34, 4, std::string("\0\0\0\x08\0\0\0\x04\x7f\xff\0\0", 12));
    expect_results({
        {"wider than the layout allows", header(30001, 1), VT_ERR_DIMENSIONS},
        {"large layout beyond a bitmap", large, VT_ERR_DIMENSIONS},
        {"57 channels", flat(3, 8, 57, 1, 1) + "abc", VT_ERR_INVALID_DATA},
        {"Lab", flat(9, 8, 3, 1, 1) + "abc", VT_ERR_NOT_IMPLEMENTED},
        {"32767 layers in 4 bytes", layers, VT_ERR_INVALID_DATA},
        {"resources beyond the file", header(1, 1).replace(30, 4, "\0\1\0\0", 4), VT_ERR_READ},
    });
}

// The picture over white, as 8-bit pixels.
std::vector<std::uint32_t> on_white(const std::vector<std::uint32_t>& pixels) {
    std::vector<std::uint32_t> out;
    for (const std::uint32_t p : pixels) {
        const std::uint32_t t = p >> 24;
        std::uint32_t q = 0;
        for (const int shift : {0, 8, 16})
            q |= ((((p >> shift) & 0xFF) * (255 - t) + 255 * t + 127) / 255) << shift;
        out.push_back(q);
    }
    return out;
}

double psnr(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b) {
    if (a.size() != b.size() || a.empty())
        return 0;
    double sum = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        for (const int shift : {0, 8, 16}) {
            const double d = static_cast<double>((a[i] >> shift) & 0xFF) -
                             static_cast<double>((b[i] >> shift) & 0xFF);
            sum += d * d;
        }
    const double mse = sum / (3.0 * static_cast<double>(a.size()));
    return mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
}

// Both layouts, opaque and transparent: another reader composes the merged picture (which it
// takes as matted on white) and the layer as drawn; our reader gives back the layer unmatted.
TEST_F(PsdPlugin, MergedPictureIsMattedOnWhiteInBothLayouts) {
    if (!run_tool("convert -version"))
        GTEST_SKIP() << "no ImageMagick";
    for (const char* name : {"m.psd", "m.psb"})
        for (const bool transparent : {false, true}) {
            SCOPED_TRACE(std::string(name) + (transparent ? " transparent" : " opaque"));
            const Frame picture = make_picture(41, 27, transparent);
            const std::filesystem::path file = m_temp / name;
            ASSERT_EQ(save_with(api(), file, {picture}).result, VT_OK);
            EXPECT_EQ(read_bytes(file)[5], name[4] == 'b' ? 2 : 1); // the layout's version
            const LoadResult ours = load_with(api(), file);
            ASSERT_EQ(ours.result, VT_OK);
            EXPECT_EQ(max_difference(ours.frames.back().pixels, picture.pixels), 0);
            const std::filesystem::path flat = m_temp / "flat.png";
            ASSERT_TRUE(run_tool("convert " + vt::test::quoted(file.string() + "[0]") +
                                 " -background white -flatten PNG24:" + vt::test::quoted(flat)));
            const std::optional<Frame> merged = png_frame(flat);
            ASSERT_TRUE(merged.has_value());
            EXPECT_GE(psnr(merged->pixels, on_white(picture.pixels)), 45.0);
            const std::optional<Frame> layer = reference(file);
            ASSERT_TRUE(layer.has_value());
            EXPECT_LE(max_difference(layer->pixels, picture.pixels), 1);
        }
    // The large layout allows sides the small one refuses.
    const Frame wide = make_picture(30001, 1, false);
    EXPECT_EQ(save_with(api(), m_temp / "w.psd", {wide}).result, VT_ERR_DIMENSIONS);
    ASSERT_EQ(save_with(api(), m_temp / "w.psb", {wide}).result, VT_OK);
    EXPECT_EQ(load_with(api(), m_temp / "w.psb").frames[0].pixels, wide.pixels);
    EXPECT_EQ(check_with(api().check_save, u".psb").level, 100);
}

// --- 16 bits per channel: ImageMagick's pictures in its documents, or a picture of every
// sample saved by us first. Each loads at 16 bits as drawn, beside the unchanged 8-bit frame
// that is its rounding, and is saved at 16 bits and read back sample for sample, by us and by
// ImageMagick (which reads a merged image with transparency as matted: composed on white then).
struct DeepPsd {
    const char* name;
    const char* magick;     // ImageMagick's arguments that draw it, or null
    const char* layout;     // "PSD:" or "PSB:"
    std::uint32_t channels; // of the deep picture; 0: none is delivered
    bool transparent;
};

const DeepPsd kDeepPsds[] = {
    {"rgb",
     "-size 37x23 gradient:'#0102ff-#fefd00' -seed 7 -attenuate 0.3 +noise Uniform -alpha off",
     "PSD:", 4, false},
    {"rgba in a layer", "-size 29x19 radial-gradient:'rgba(255,200,0,1)-rgba(0,0,255,0.25)'",
     "PSD:", 4, true},
    {"grey",
     "-size 31x17 gradient:black-white -seed 3 -attenuate 0.2 +noise Uniform -colorspace Gray",
     "PSD:", 2, false},
    {"large layout", "-size 23x9 gradient:'#0102ff-#fefd00' -alpha off", "PSB:", 4, false},
    {"two layers", "-size 9x5 xc:red \\( -size 4x3 xc:blue -repage +2+1 \\) -alpha set", "PSD:", 0,
     true},
    {"our rgba", nullptr, "", 4, true},
    {"our grey", nullptr, "", 2, false},
};

TEST_F(PsdPlugin, SixteenBitPicturesLoadAndSaveBitExact) {
    LoadOptions ask;
    ask.want_deep = true;
    for (const DeepPsd& c : kDeepPsds) {
        SCOPED_TRACE(c.name);
        const std::filesystem::path file = m_temp / "deep.psd";
        DeepFrame drawn = noisy_deep(27, 13, c.channels, c.transparent);
        if (c.magick == nullptr) {
            const SaveResult made = save_with(api(), file, {frame_of(drawn)}, 0, &drawn);
            ASSERT_EQ(made.result, VT_OK);
            EXPECT_TRUE(made.deep_written);
        } else if (!run_tool(std::string("convert ") + c.magick + " -depth 16 " + c.layout +
                             quoted(file))) {
            GTEST_SKIP() << "no ImageMagick";
        } else {
            drawn = {0, 0, 4, 16, magick_rgba16(c.magick, file)};
        }
        const LoadResult plain = load_with(api(), file);
        const LoadResult loaded = load_with(api(), file, ask);
        ASSERT_EQ(loaded.result, VT_OK);
        EXPECT_EQ(loaded.frames.size(), plain.frames.size());
        EXPECT_EQ(loaded.frames[0].pixels, plain.frames[0].pixels);
        ASSERT_EQ(loaded.deep.channels, c.channels);
        if (c.channels == 0)
            continue;
        EXPECT_EQ(loaded.deep.bits, 16u);
        EXPECT_EQ(loaded.frames[0].pixels, rounded(loaded.deep));
        EXPECT_EQ(deep_rgba(loaded.deep), deep_rgba(drawn));

        const std::filesystem::path saved = m_temp / "saved.psd";
        const SaveResult result = save_with(api(), saved, {loaded.frames[0]}, 0, &loaded.deep);
        ASSERT_EQ(result.result, VT_OK);
        EXPECT_TRUE(result.deep_written);
        EXPECT_EQ(read_bytes(saved).substr(22, 2), std::string("\0\x10", 2)); // depth 16
        const LoadResult again = load_with(api(), saved, ask);
        EXPECT_EQ(again.deep.samples, loaded.deep.samples);
        EXPECT_EQ(again.frames[0].pixels, loaded.frames[0].pixels);
        EXPECT_EQ(magick_rgba16(saved, "[1]"), deep_rgba(drawn));
        if (!c.transparent) {
            EXPECT_EQ(magick_rgba16(saved, "[0]"), deep_rgba(drawn));
        } else {
            // The merged picture, matted on white, composes on white as the picture does.
            const std::vector<std::uint16_t> outside = magick_rgba16(
                vt::test::quoted(saved.string() + "[0]") + " -background white -flatten", saved);
            const std::vector<std::uint16_t> rgba = deep_rgba(drawn);
            ASSERT_EQ(outside.size(), rgba.size());
            int most = 0;
            for (std::size_t i = 0; i < rgba.size(); ++i) {
                const double a = rgba[i - i % 4 + 3] / 65535.0;
                const double want = i % 4 == 3 ? 65535 : rgba[i] * a + 65535 * (1 - a);
                most = std::max(most, static_cast<int>(std::lround(std::abs(outside[i] - want))));
            }
            EXPECT_LE(most, 2);
        }
    }
    // The save check says so; 8-bit pictures are written at 8 bits as ever.
    EXPECT_EQ(check_with(api().check_save, u".psd").deep_bits, 16);
    const std::filesystem::path eight = m_temp / "eight.psd";
    ASSERT_EQ(save_with(api(), eight, {make_picture(5, 4, true)}).result, VT_OK);
    EXPECT_EQ(read_bytes(eight)[23], 8);
}

} // namespace
} // namespace vt::test
