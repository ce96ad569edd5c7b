// Files of the earlier layouts built here from their layout tables, and the password step.
#include <gtest/gtest.h>

#include "image/meta_block.h"
#include "tests/vt5/vt5_support.h"
#include "vt5/tools/dump.h"

namespace vt::vt5::test {
namespace {

Bytes le(std::uint32_t v, int n) {
    Bytes b(n);
    for (int i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(v >> (8 * i));
    return b;
}

// Header of a single-image file: the magic, then {offset, size, value} fields.
Bytes single(std::size_t header, std::initializer_list<std::array<std::uint32_t, 3>> fields) {
    Bytes f(header, 0);
    std::copy(kMagic.begin(), kMagic.end(), f.begin());
    base::store_le32(&f[4], static_cast<std::uint32_t>(header));
    for (const auto& [at, n, v] : fields)
        std::copy_n(le(v, static_cast<int>(n)).begin(), n, f.begin() + at);
    return f;
}

Bytes v2(std::uint16_t w, std::uint16_t h, std::uint8_t layout, std::uint8_t ch, const Bytes& data,
         std::uint8_t codec = 0) {
    Bytes f = single(
        52,
        {{8, 4, 0x20001}, {12, 2, w}, {14, 2, h}, {16, 1, layout}, {18, 1, ch}, {28, 1, codec}});
    append(f, data);
    return f;
}

Bytes v1(std::uint16_t w, std::uint16_t h, const Bytes& data, std::uint8_t codec = 0) {
    Bytes f = single(40, {{8, 4, 0x10000}, {12, 2, w}, {14, 2, h}, {24, 1, codec}});
    append(f, data);
    return f;
}

// The password step's input: a 72-byte header with the hint and the checksum, then the data
// scrambled with `password`.
Bytes protect(const Bytes& data, const std::string& password, bool checksum = true) {
    Bytes out(72, 0);
    out[0] = 72;
    std::copy_n("hint", 4, out.begin() + 1);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        sum += data[i];
        out.push_back(static_cast<std::uint8_t>(data[i] + password[i % password.size()]));
    }
    base::store_le32(&out[68], checksum ? sum : 0);
    return out;
}

Bytes fill(std::size_t n, std::uint8_t v) {
    return Bytes(n, v);
}
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        append(out, p);
    return out;
}

TEST(Vt5Earlier, SingleImageLayouts) {
    Bytes palette_file = v2(2, 1, 2, 1, {1, 0});
    base::store_le32(&palette_file[44], static_cast<std::uint32_t>(palette_file.size()));
    append(palette_file, cat({le(2, 4), le(0x11223344, 4), le(0x55667788, 4)}));
    Bytes scan(256);
    for (std::size_t k = 0; k < 256; ++k)
        scan[k] = static_cast<std::uint8_t>(k);
    const struct {
        const char* what;
        Bytes file;
        Pixels pixels;
    } cases[] = {
        {"v2 grey", v2(2, 1, 1, 1, {9, 200}), {0x090909, 0xC8C8C8}},
        {"v2 planes, channels 0 as 3", v2(1, 1, 0, 0, {1, 2, 3}), {0x030201}},
        {"v2 planes with T", v2(1, 1, 0, 4, {1, 2, 3, 4}), {0x04030201}},
        {"v2 palette", palette_file, {0x55667788, 0x11223344}},
        {"v2 RunLength", v2(2, 1, 1, 1, {0x81, 7, 0}, 1), {0x070707, 0x070707}},
        {"v1 grey tile", v1(2, 1, cat({{0}, fill(256, 5)})), {0x050505, 0x050505}},
        {"v0 grey tile",
         cat({single(40, {{12, 2, 1}, {14, 2, 1}}), {0}, fill(256, 4)}),
         {0x040404}},
        {"v1 planar tile, R G B",
         v1(1, 1, cat({{0x8A, 9}, fill(256, 1), fill(256, 2), fill(256, 3)})),
         {0x010203}},
        {"v1 indexed tile", v1(1, 1, cat({{0x18}, fill(256, 1), {1}, {0, 0x33}})), {0x330000}},
        {"v1 indexed from slot 1",
         v1(2, 1, cat({{0x38}, {1, 0}, fill(254, 0), {1, 1, 0x44}})),
         {0x440000, 0}},
        {"v1 scan order", v1(2, 2, cat({{0x48}, scan})), {0, 0x030000, 0x010000, 0x020000}},
        {"v1 tile without data repeats", v1(17, 1, cat({{0}, fill(256, 6), {0x10}})),
         Pixels(17, 0x060606)},
    };
    for (const auto& c : cases) {
        Read r(c.file);
        ASSERT_EQ(r.count, 1u) << c.what << ": " << text(r.status.error_text);
        EXPECT_EQ(r[0].bitmap.width * r[0].bitmap.height, c.pixels.size()) << c.what;
        Pixels got = pixels_of(r[0]);
        if (c.pixels.size() == 17)
            got.resize(17);
        EXPECT_EQ(got, c.pixels) << c.what;
        // Every cut of the file reads without a fault, and never more than the whole.
        for (std::size_t n = 0; n < c.file.size(); ++n)
            EXPECT_LE(Read(Bytes(c.file.begin(), c.file.begin() + n)).count, 1u);
    }
    const std::string dump = dump_vt5(palette_file, u"x.vt5", false, false).text;
    EXPECT_NE(dump.find("major=2 revision=1 width=2 height=1 layout=2 preprocessor=0 channels=1 "
                        "data_offset=0 data_length=0 chain=[none] palette_offset=54"),
              std::string::npos)
        << dump;
    EXPECT_EQ(dump.find("element "), std::string::npos) << dump;
}

TEST(Vt5Earlier, Version3LayersNamesAndMetadata) {
    Layer meta{};
    const std::string mark = "\r\nimage.dpi=300 300;";
    ASSERT_GT(image::add_layer_chunk(meta, image::kTagMark,
                                     static_cast<std::uint32_t>(mark.size() + 1), mark.c_str()),
              0);
    const Bytes block(static_cast<std::uint8_t*>(meta.meta),
                      static_cast<std::uint8_t*>(meta.meta) + meta.meta_size);
    image::release_layer(meta);
    for (const std::uint32_t version : {0x0003000Au, 0x0003000Bu}) {
        Bytes layer = single(96, {{0, 4, 0x00600001},
                                  {4, 2, 0xFFFE},
                                  {8, 2, 2},
                                  {10, 2, 1},
                                  {12, 1, 1},
                                  {13, 1, 1},
                                  {84, 4, std::uint32_t(block.size())},
                                  {88, 4, 2}});
        const Bytes name = version == 0x0003000A ? Bytes{'A', 0xE9, 0x80}
                                                 : cat({le('A', 2), le(0xE9, 2), le(0x20AC, 2)});
        std::copy(name.begin(), name.end(), layer.begin() + 20);
        const Bytes stream = cat({{3, 4}, block});
        const Bytes file = cat({single(16, {{8, 4, version}, {12, 1, 1}}),
                                layer,
                                single(28, {{0, 4, 0x001C0002},
                                            {4, 4, std::uint32_t(stream.size())},
                                            {8, 4, std::uint32_t(stream.size())}}),
                                stream,
                                {255, 0, 4, 0}});
        Read r(file);
        ASSERT_EQ(r.count, 1u) << text(r.status.error_text);
        EXPECT_EQ(r[0].x, -2);
        EXPECT_EQ(base::utf16_to_utf8(image::layer_name(r[0])), "A\xC3\xA9\xE2\x82\xAC");
        EXPECT_EQ(pixels_of(r[0]), (Pixels{0x030303, 0x040404}));
        EXPECT_EQ(r.status.meta_upgraded, 1);
        EXPECT_EQ(text(r.status.version_text), version == 0x0003000A ? "3 rev. 10" : "3 rev. 11");
        for (std::size_t n = 0; n < file.size(); ++n)
            EXPECT_LE(Read(Bytes(file.begin(), file.begin() + n)).count, 1u);
        // The dump lists the version 3 header and elements by their own layout.
        const std::string dump = dump_vt5(file, u"x.vt5", false, false).text;
        for (const char* line :
             {"header magic=\"_VT5\" header_size=16 major=3", "kind_code=1 kind_param=0 file_size=",
              "element offset=16 type=\"layer\" code=1 body=96 x=-2 y=0 width=2 height=1 layout=1 "
              "channels=1 frame_type=0 reference_distance=0 meta_offset=2",
              "element offset=112 type=\"block\" code=2 body=28 C=", "type=\"end\" code=255"})
            EXPECT_NE(dump.find(line), std::string::npos) << line << "\n" << dump;
    }
}

TEST(Vt5Earlier, PasswordStep) {
    const Bytes data = fill(256, 0x22);
    const std::string kSecret = "secret, and long enough for the cut";
    const std::u16string secret = base::utf8_to_utf16(kSecret);
    const auto file = [&](bool checksum, std::uint8_t version) {
        const Bytes body =
            protect(version == 2 ? Bytes{0x22} : cat({{0}, data}), kSecret, checksum);
        return version == 2 ? v2(1, 1, 1, 1, body, 255) : v1(1, 1, body, 255);
    };
    using Answers = std::vector<std::u16string>;
    const std::u16string longer = secret + u"xyz";
    const struct {
        const char* what;
        bool checksum;
        Answers answers;
        std::uint32_t layers;
        std::size_t boxes, dialogs;
    } cases[] = {
        {"right", true, {secret}, 1, 0, 1},
        {"wrong, then cancel", true, {u"wrong"}, 4, 1, 1},
        {"wrong, retry, right", true, {u"wrong", secret}, 1, 1, 2},
        {"empty, then right", true, {u"", secret}, 1, 1, 2},
        {"over-long cut to 35 bytes", true, {longer}, 1, 0, 1},
        {"no checksum", false, {u"any"}, 1, 1, 1},
        {"cancelled", true, {}, 4, 0, 1},
    };
    for (const std::uint8_t version : {std::uint8_t{1}, std::uint8_t{2}})
        for (const auto& c : cases) {
            const Bytes f = file(c.checksum, version);
            DumpRead loud{true, c.answers};
            const DumpResult d = dump_vt5(f, u"p.vt5", true, false, loud);
            EXPECT_EQ(d.layers, c.layers) << c.what;
            const std::size_t at = d.text.find("\"boxes\": [");
            const std::size_t end = d.text.find("\"dialogs\": [");
            ASSERT_LT(at, end) << c.what;
            EXPECT_EQ(std::count(d.text.begin() + at, d.text.begin() + end, '['),
                      static_cast<std::ptrdiff_t>(c.boxes + 1))
                << c.what << d.text;
            EXPECT_EQ(std::count(d.text.begin() + end, d.text.end(), '"'),
                      static_cast<std::ptrdiff_t>(2 + 2 * c.dialogs))
                << c.what;
            EXPECT_NE(d.text.find(c.layers == 4 ? "\"password_protected\": 1" : "\"sha256\""),
                      std::string::npos)
                << c.what;
            EXPECT_NE(d.text.find("\"dialogs\": [\"hint\""), std::string::npos) << c.what;
        }
    // Silent: the given passwords are tried, else four opaque noise frames of the image's size.
    const std::vector<std::u16string> tried = {u"no", secret};
    ReadOptions options;
    options.passwords = &tried;
    Doc doc(8);
    image::LoadStatus status{};
    status.silent = 1;
    EXPECT_EQ(Vt5Read(doc.data(), 8, status, file(true, 2), u"p.vt5", options), 1u);
    EXPECT_EQ(pixels_of(doc[0]), Pixels{0x222222});
    options.max_total_pixels = 2; // room for two noise frames of 1 x 1, not four
    options.passwords = nullptr;
    Doc tight(8);
    EXPECT_EQ(Vt5Read(tight.data(), 8, status, file(true, 1), u"p.vt5", options), 2u);
    Read placeholder(file(true, 1), 3);
    EXPECT_EQ(placeholder.count, 3u);
    EXPECT_EQ(placeholder.status.doc_kind, 2);
    EXPECT_EQ(placeholder.status.password_protected, 1);
    EXPECT_EQ(text(placeholder.status.error_text), "The file is password-protected");
    EXPECT_EQ(placeholder[2].mode2, 50);
    EXPECT_EQ(pixels_of(placeholder[2])[0] >> 24, 0u);
}

} // namespace
} // namespace vt::vt5::test
