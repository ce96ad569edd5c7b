#include <gtest/gtest.h>
#include <libdeflate.h>

#include <cstring>

#include "formats/psp/psp_codec.h"
#include "tests/formats/format_conformance.h"

namespace vt::test {
namespace {

struct Spec {
    int major, compression, depth; // depth 24 colour, 8 grey, 80 palette
};

std::string rect(int l, int t, int r, int b) {
    std::string s;
    for (int v : {l, t, r, b})
        le32(s, static_cast<std::uint32_t>(v));
    return s;
}

// A block as the file lays it out: major 3 states the first chunk's length in the header.
std::string block(int major, int id, const std::string& chunk, const std::string& rest = {}) {
    std::string s = std::string("~BK", 4), body;
    le16(s, id);
    if (major == 3)
        le32(s, static_cast<std::uint32_t>(chunk.size()));
    else
        le32(body, static_cast<std::uint32_t>(chunk.size() + 4));
    body += chunk + rest;
    le32(s, static_cast<std::uint32_t>(body.size()));
    return s + body;
}

std::uint8_t sample_value(int x, int y, int k) {
    if (k == -2)
        return (x + y) % 2 ? 0 : 255; // the user mask
    return static_cast<std::uint8_t>(x * 37 + y * 11 + k * 80 + (x == y ? 200 : 0));
}

std::string channel(const Spec& s, int bitmap, int type, const std::string& raw) {
    std::string coded;
    if (s.compression == 0)
        coded = raw;
    for (std::size_t i = 0; s.compression == 1 && i < raw.size();) {
        std::size_t n = 1;
        while (i + n < raw.size() && n < 127 && raw[i + n] == raw[i])
            ++n;
        coded += static_cast<char>(n > 1 ? 128 + n : 1);
        coded += raw[i];
        i += n;
    }
    if (s.compression == 2) {
        libdeflate_compressor* c = libdeflate_alloc_compressor(6);
        coded.resize(raw.size() + 64);
        coded.resize(
            libdeflate_zlib_compress(c, raw.data(), raw.size(), coded.data(), coded.size()));
        libdeflate_free_compressor(c);
    }
    std::string info;
    le32(info, static_cast<std::uint32_t>(coded.size()));
    le32(info, static_cast<std::uint32_t>(raw.size()));
    le16(info, bitmap);
    le16(info, type);
    return block(s.major, 5, info, coded);
}

// A layer of `saved` w x h, 8-bit planes padded to four bytes a row, and a transparency plane.
std::string layer(const Spec& s, const char* name, std::string rects, int opacity, int blend,
                  bool visible, int w, int h, bool alpha) {
    std::string info = s.major == 3 ? std::string(name) + std::string(256 - strlen(name), '\0')
                                    : std::string(2, static_cast<char>(strlen(name))) + name;
    if (s.major > 3)
        info[1] = 0;
    info += std::string(1, s.major == 3 ? 0 : 1) + rects + char(opacity) + char(blend) +
            char(visible | (alpha ? 2 : 0)) + std::string(18, '\0') + rects.substr(16) +
            std::string(43, '\0');
    std::string channels;
    const int planes = s.depth == 24 ? 3 : 1;
    for (int k = (alpha ? -2 : 0); k < planes; ++k) {
        std::string raw;
        for (int y = 0; y < h; ++y, raw.resize((raw.size() + 3) & ~3u))
            for (int x = 0; x < w; ++x)
                raw += static_cast<char>(sample_value(x, y, k));
        channels += channel(s, k < 0 ? -k : 0, k < 0 || planes == 1 ? 0 : k + 1, raw);
    }
    if (s.major > 3)
        channels = std::string("\x08\0\0\0\1\0", 6) + char(planes + 2 * alpha) + '\0' + channels;
    return block(s.major, 4, info + (s.major == 3 ? std::string(4, '\0') : ""), channels);
}

std::string psp_file(const Spec& s, std::uint32_t width, std::uint32_t height,
                     const std::string& layers) {
    std::string f = std::string("Paint Shop Pro Image File\n\x1a", 27) + std::string(5, '\0');
    le16(f, s.major);
    le16(f, 0);
    std::string attr;
    le32(attr, width);
    le32(attr, height);
    attr += std::string("\0\0\0\0\0\0\x52\x40\x01", 9); // 72 per inch
    le16(attr, s.compression);
    le16(attr, s.depth == 24 ? 24 : 8);
    attr += std::string("\1\0\0\1\0\0", 6) + char(s.depth == 8) +
            std::string(s.major == 3 ? 10 : 14, '\0');
    f += block(s.major, 0, attr);
    if (s.depth == 80) {
        std::string entries;
        for (int i = 0; i < 256; ++i)
            entries += std::string{char(i), char(255 - i), char(i / 2), 0};
        f += block(s.major, 2, std::string("\0\1\0\0", 4), entries);
    }
    return f + block(s.major, 3, "", layers);
}

std::string two_layers(const Spec& s) {
    return psp_file(
        s, 7, 5,
        layer(s, "Background", rect(0, 0, 7, 5) + rect(0, 0, 7, 5), 255, 0, true, 7, 5, false) +
            layer(s, "Top", rect(2, 1, 6, 4) + rect(3, 1, 6, 4), 128, 7, false, 3, 3, true));
}

std::uint32_t expected(const Spec& s, int x, int y, bool alpha) {
    const std::uint32_t t = !alpha ? 0 : (x + y) % 2 ? 255 : 255 - sample_value(x, y, -1);
    const std::uint8_t v = sample_value(x, y, 0);
    if (s.depth == 24)
        return bgrt(v, sample_value(x, y, 1), sample_value(x, y, 2), t);
    return s.depth == 8 ? bgrt(v, v, v, t) : bgrt(v / 2, 255 - v, v, t);
}

class Psp : public PluginTest {
protected:
    static void SetUpTestSuite() { open("fmx_PSP"); }
};

TEST_F(Psp, LayersKeepPixelsPlacesAndFields) {
    for (const Spec s : {Spec{7, 2, 24}, Spec{7, 1, 8}, Spec{5, 0, 80}, Spec{3, 1, 24},
                         Spec{3, 2, 80}, Spec{4, 0, 8}}) {
        SCOPED_TRACE(std::to_string(s.major) + " " + std::to_string(s.compression) + " " +
                     std::to_string(s.depth));
        const std::string bytes = two_layers(s);
        formats::PspDocument doc;
        ASSERT_EQ(formats::read_psp(
                      {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, doc),
                  VT_OK);
        ASSERT_EQ(doc.layers.size(), 2u);
        EXPECT_EQ(doc.layers[1].name, "Top");
        EXPECT_EQ(doc.layers[1].opacity, 128);
        EXPECT_FALSE(doc.layers[1].visible);
        EXPECT_EQ(doc.layers[1].blend, 7);
        const LoadResult r = load_bytes(bytes);
        ASSERT_EQ(r.result, VT_OK);
        ASSERT_EQ(r.frames.size(), 2u);
        const Frame& top = r.frames[1];
        ASSERT_EQ(top.width * 10 + top.height, 43u);
        EXPECT_EQ(top.x * 10 + top.y, 21);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 7; ++x)
                ASSERT_EQ(r.frames[0].pixels[y * 7 + x], expected(s, x, y, false)) << x << y;
        for (int y = 0; y < 3; ++y) {
            EXPECT_EQ(top.pixels[y * 4] >> 24, 255u);
            for (int x = 0; x < 3; ++x)
                ASSERT_EQ(top.pixels[y * 4 + x + 1], expected(s, x, y, true)) << x << y;
        }
        EXPECT_TRUE(has_entry(r.frames[0], "image.ppi=72 72"));
    }
}

VT_FORMAT_CONFORMANCE(Psp, FormatRow{.plugin = "fmx_PSP",
                                     .extension = ".psp",
                                     .header =
                                         [](std::uint32_t w, std::uint32_t h) {
                                             const Spec s{7, 0, 8};
                                             const std::string l =
                                                 layer(s, "L", rect(0, 0, w, h) + rect(0, 0, w, h),
                                                       255, 0, true, 1, 1, false);
                                             return psp_file(s, w, h, l);
                                         },
                                     .sample =
                                         [](const std::filesystem::path& file) {
                                             write_bytes(file, two_layers(Spec{7, 2, 24}));
                                         }});

} // namespace
} // namespace vt::test
