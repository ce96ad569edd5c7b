// The writer: layout choice, transparency plane omission, palette, reference frames in both
// search modes, header fields, refusals, and round trips of random documents.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <tuple>

#include "image/meta_block.h"
#include "platform/files.h"
#include "tests/support/temp_folder.h"
#include "tests/vt5/vt5_support.h"

namespace vt::vt5::test {
namespace {

// 32-bit draws without conversions at every use.
struct Rng {
    explicit Rng(std::uint32_t seed) : engine(seed) {}
    std::uint32_t operator()() { return static_cast<std::uint32_t>(engine()); }
    std::mt19937 engine;
};

// The layer headers of a written file, in order.
std::vector<Vt5LayerHeader> layer_headers(const Bytes& file) {
    std::vector<Vt5LayerHeader> out;
    std::size_t at = base::load_le32(&file[4]);
    while (at + 8 <= file.size()) {
        const std::uint8_t type = file[at];
        const std::uint32_t body = base::load_le32(&file[at + 4]);
        if (type == 255)
            break;
        if (type == 1)
            out.push_back(parse_layer_header(std::span(file).subspan(at + 8, 128)));
        at += 8 + body;
    }
    return out;
}

Pixels pattern(std::uint32_t n, std::uint32_t colours, std::uint32_t seed, bool grey,
               std::uint8_t transparency = 0) {
    Rng rng(seed);
    Pixels palette;
    for (std::uint32_t i = 0; i < colours; ++i) {
        const std::uint32_t v = rng();
        palette.push_back(grey ? (v & 0xFF) * 0x010101u : v & 0xFFFFFF);
    }
    Pixels p(n);
    for (std::uint32_t i = 0; i < n; ++i)
        p[i] = palette[rng() % colours] | std::uint32_t{transparency} << 24;
    if (transparency != 0)
        p[0] &= 0x00FFFFFF; // some pixels opaque, the rest not
    return p;
}

TEST(Vt5Write, LayoutFollowsPixelContent) {
    using Case =
        std::tuple<const char*, std::uint32_t, std::uint32_t, Pixels, std::uint8_t, std::uint8_t>;
    const Case cases[] = {
        {"grey opaque", 8, 8, pattern(64, 30, 1, true), 1, 1},
        {"grey transparent", 8, 8, pattern(64, 30, 2, true, 0x40), 1, 2},
        {"colour 16x16 of 3", 16, 16, pattern(256, 3, 3, false), 0, 3},
        {"colour 32x16 of 3", 32, 16, pattern(512, 3, 4, false), 2, 1},
        {"colour 31x16 of 3", 31, 16, pattern(496, 3, 4, false), 0, 3},
        {"transparent colour 342 px", 342, 1, pattern(342, 3, 5, false, 9), 2, 1},
        {"transparent colour 341 px", 341, 1, pattern(341, 3, 5, false, 9), 0, 4},
        {"colour of 256", 64, 64, pattern(4096, 256, 6, false), 2, 1},
        {"colour of 300", 64, 64, pattern(4096, 300, 7, false), 0, 3},
        {"grey of 3 stays grey", 32, 32, pattern(1024, 3, 8, true), 1, 1},
    };
    for (const auto& [what, w, h, pixels, layout, channels] : cases) {
        Doc doc;
        doc.set(0, w, h, pixels);
        const Bytes file = write_doc(doc, 1);
        const auto headers = layer_headers(file);
        ASSERT_EQ(headers.size(), 1u) << what;
        EXPECT_EQ(std::tuple(headers[0].layout, headers[0].channels, headers[0].meta_offset),
                  std::tuple(layout, channels, layer_pixel_bytes(headers[0])))
            << what;
        Read back(file);
        ASSERT_EQ(back.count, 1u) << what;
        EXPECT_EQ(pixels_of(back[0]), pixels) << what;
    }
}

struct Frames {
    explicit Frames(std::size_t capacity = 16) : doc(capacity) {}
    Doc doc;
    std::vector<Pixels> pixels;
    void add(std::uint32_t w, std::uint32_t h, const Pixels& p) {
        doc.set(pixels.size(), w, h, p);
        pixels.push_back(p);
    }
};

TEST(Vt5Write, RepeatAndDifferenceFrames) {
    const Pixels a = pattern(400, 200, 11, false);
    Pixels similar = a; // half the pixels nudged a little, a few changed a lot
    for (std::size_t i = 0; i < similar.size(); i += 2)
        similar[i] = (similar[i] & 0xFFFFFF00) | ((similar[i] + 3) & 0xFF);
    for (std::size_t i = 1; i < similar.size(); i += 4)
        similar[i] ^= 0x00808080;
    Pixels different = pattern(400, 200, 12, false);

    Frames f;
    f.add(20, 20, a);
    f.add(20, 20, a);         // identical to 0
    f.add(20, 20, similar);   // similar to 1
    f.add(20, 20, different); // neither
    f.add(10, 40, different); // another size
    const Bytes file = write_doc(f.doc, 5);
    const auto h = layer_headers(file);
    ASSERT_EQ(h.size(), 5u);
    // A repeat stores nothing of its own.
    EXPECT_EQ(std::tuple(h[1].channels, h[1].layout, h[1].reference_distance, h[1].meta_offset),
              std::tuple(0, 0, 0, 0u));
    EXPECT_EQ(
        (std::vector<int>{h[1].frame_type, h[2].frame_type, h[3].frame_type, h[4].frame_type}),
        (std::vector<int>{kFrameRepeat, kFrameDifference, kFrameComplete, kFrameComplete}));

    Read back(file);
    ASSERT_EQ(back.count, 5u);
    for (std::size_t i = 0; i < 5; ++i)
        EXPECT_EQ(pixels_of(back[i]), f.pixels[i]) << i;
}

TEST(Vt5Write, SimilarityNeedsMoreThanAThirdOfNearPixels) {
    // 30 pixels; the near ones differ by a byte sum of 15, the others by 16.
    for (const int near : {10, 11}) {
        Pixels a(30, 0x00404040);
        Pixels b(30);
        for (int i = 0; i < 30; ++i)
            b[i] = i < near ? 0x0040404F : 0x00404050;
        Frames f;
        f.add(30, 1, a);
        f.add(30, 1, b);
        const auto h = layer_headers(write_doc(f.doc, 2));
        EXPECT_EQ(h[1].frame_type, near == 11 ? kFrameDifference : kFrameComplete) << near;
    }
}

TEST(Vt5Write, ThoroughSearchLooksFurtherBack) {
    const Pixels a = pattern(256, 50, 21, false);
    const Pixels b = pattern(256, 50, 22, false);
    for (const bool thorough : {false, true}) {
        Frames f;
        f.add(16, 16, a);
        f.add(16, 16, b);
        f.add(16, 16, a);
        const Bytes file = write_doc(f.doc, 3, 0, thorough);
        const auto h = layer_headers(file);
        EXPECT_EQ(h[2].frame_type, thorough ? kFrameRepeat : kFrameComplete);
        EXPECT_EQ(h[2].reference_distance, thorough ? 1 : 0);
        Read back(file);
        ASSERT_EQ(back.count, 3u);
        EXPECT_EQ(pixels_of(back[2]), a);
    }
}

TEST(Vt5Write, ThoroughSearchStopsAtTheLongestDistance) {
    // A repeat of layer 0 from 258 layers later cannot be named in one byte.
    Frames f(260);
    for (std::uint32_t i = 0; i < 259; ++i)
        f.add(1, 1,
              {i == 0 || i == 258 ? 0x00ABCDEFu : 0x00010101u * (i % 200) + 0x00FF0000u * (i & 1)});
    const Bytes file = write_doc(f.doc, 259, 0, true);
    const auto h = layer_headers(file);
    ASSERT_EQ(h.size(), 259u);
    EXPECT_NE(h[258].frame_type, kFrameRepeat);
    Read back(file, 260);
    ASSERT_EQ(back.count, 259u);
    EXPECT_EQ(pixels_of(back[258]), f.pixels[258]);
}

TEST(Vt5Write, HeaderFieldsOfALayer) {
    Doc doc;
    Layer& l = doc.set(0, 2, 2, {1, 2, 3, 4});
    l.x = -50000;
    l.y = 123;
    l.mode = 0x2004;
    l.mode2 = 250;
    l.attr = 0xAA;
    l.transparency = 0x55;
    image::set_layer_name(l, u"0123456789012345678901234567890123456789");
    for (const std::uint8_t kind : {std::uint8_t{0}, std::uint8_t{2}}) {
        const auto h = layer_headers(write_doc(doc, 1, kind))[0];
        EXPECT_EQ(std::tuple(h.x, h.y, h.mode, h.mode2, h.attr, h.transparency),
                  std::tuple(-32767, 123, 0x2004, kind == 2 ? 250 : 0, 0xAA, 0x55));
        EXPECT_EQ(std::u16string(h.name.data()), u"0123456789012345678901234567890");
        Read back(write_doc(doc, 1, kind));
        ASSERT_EQ(back.count, 1u);
        EXPECT_EQ(back[0].mode2, kind == 2 ? 250 : 0);
        EXPECT_EQ(back.status.doc_kind, kind);
    }
}

TEST(Vt5Write, MetadataTravelsWithItsLayer) {
    Frames f;
    f.add(4, 4, pattern(16, 4, 31, false));
    f.add(4, 4, f.pixels[0]); // a repeat: its stream is only its metadata
    for (int i = 0; i < 2; ++i) {
        Layer& l = f.doc[i];
        const std::string mark = "exif.model=Cam" + std::to_string(i) + ";";
        ASSERT_GT(image::add_layer_chunk(l, image::kTagMark,
                                         static_cast<std::uint32_t>(mark.size() + 1), mark.c_str()),
                  0);
        const std::uint8_t phys[16] = {1, 0, 0, 0, 44, 1, 0, 0, 44, 1, 0, 0, 0};
        ASSERT_GT(image::add_layer_chunk(l, image::kTagPhys, 16, phys), 0);
    }
    const Bytes file = write_doc(f.doc, 2);
    const auto h = layer_headers(file);
    EXPECT_EQ(h[0].meta_length, f.doc[0].meta_size);
    EXPECT_EQ(h[1].meta_offset, 0u);
    Read back(file);
    ASSERT_EQ(back.count, 2u);
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(back[i].meta_size, f.doc[i].meta_size);
        EXPECT_EQ(std::memcmp(back[i].meta, f.doc[i].meta, back[i].meta_size), 0);
    }
    EXPECT_EQ(back.status.meta_upgraded, 0);
}

TEST(Vt5Write, RefusesWhatCannotBeStored) {
    vt::test::TempFolder dir;
    Doc doc;
    ASSERT_EQ(image::CreateBitmap(&doc[0].bitmap, 65536, 1, image::kCreateStrict), 1);
    image::LoadStatus status{};
    EXPECT_EQ(Vt5Write(doc.data(), 1, status, dir.sub16("wide.vt5")), 0u);
    EXPECT_EQ(text(status.error_text),
              "Image too large for VT5: layers may have at most 65535\xC3\x97"
              "65535 pixels");
    EXPECT_FALSE(platform::path_exists(dir.sub16("wide.vt5")));

    EXPECT_EQ(Vt5Write(nullptr, 1, status, dir.sub16("none.vt5")), 0u);
    EXPECT_EQ(text(status.error_text), "Unknown error");
    EXPECT_FALSE(platform::path_exists(dir.sub16("none.vt5")));

    Doc ok;
    ok.set(0, 1, 1, {0});
    EXPECT_EQ(Vt5Write(ok.data(), 1, status, dir.sub16("missing/dir/a.vt5")), 0u);
    EXPECT_EQ(text(status.error_text), "Cannot open file for writing");

    Doc empty; // a zeroed bitmap cannot be locked
    Bytes out;
    EXPECT_EQ(Vt5Write(empty.data(), 1, status, out, WriteOptions{}), 0u);
    EXPECT_EQ(text(status.error_text), "Error locking source image");
}

TEST(Vt5Write, WritesAndReplacesFiles) {
    vt::test::TempFolder dir;
    {
        std::ofstream old(dir / "a.vt5", std::ios::binary);
        old << std::string(5000, 'x');
    }
    Doc doc;
    doc.set(0, 3, 1, {0x00010203, 0x00040506, 0x00070809});
    image::LoadStatus status{};
    ASSERT_EQ(Vt5Write(doc.data(), 1, status, dir.sub16("a.vt5")), 1u);
    EXPECT_EQ(text(status.error_text), "Unknown error");
    Doc back;
    ASSERT_EQ(Vt5Read(back.data(), back.capacity(), status, dir.sub16("a.vt5")), 1u);
    EXPECT_EQ(pixels_of(back[0]), pixels_of(doc[0]));
    EXPECT_LT(*platform::file_size(dir.sub16("a.vt5")), 5000u);
}

TEST(Vt5Write, RandomDocumentsRoundTrip) {
    Rng rng(77);
    for (int round = 0; round < 24; ++round) {
        const bool thorough = round % 2 == 1;
        const std::uint32_t count = 1 + rng() % 6;
        Frames f;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::uint32_t w = 1 + rng() % 70, h = 1 + rng() % 40;
            const int kind = static_cast<int>(rng() % 5);
            if (i > 0 && kind == 0 && f.doc[i - 1].bitmap.width * f.doc[i - 1].bitmap.height > 0) {
                f.add(f.doc[i - 1].bitmap.width, f.doc[i - 1].bitmap.height, f.pixels[i - 1]);
                continue;
            }
            if (i > 0 && kind == 1) { // a nudged copy of the previous frame
                Pixels p = f.pixels[i - 1];
                for (auto& v : p)
                    if (rng() % 3 == 0)
                        v += 0x01010101u * (rng() % 3);
                f.add(f.doc[i - 1].bitmap.width, f.doc[i - 1].bitmap.height, p);
                continue;
            }
            Pixels p = pattern(w * h, 1 + rng() % 400, static_cast<std::uint32_t>(rng()), kind == 2,
                               kind == 3 ? static_cast<std::uint8_t>(rng()) : 0);
            if (kind == 4)
                for (auto& v : p)
                    v = static_cast<std::uint32_t>(rng());
            f.add(w, h, p);
            f.doc[i].x = static_cast<std::int32_t>(rng() % 2000) - 1000;
            f.doc[i].mode2 = static_cast<std::uint16_t>(rng());
        }
        const Bytes file = write_doc(f.doc, count, 2, thorough);
        Read back(file);
        ASSERT_EQ(back.count, count) << round;
        for (std::uint32_t i = 0; i < count; ++i) {
            EXPECT_EQ(pixels_of(back[i]), f.pixels[i]) << round << " layer " << i;
            EXPECT_EQ(back[i].x, f.doc[i].x);
            EXPECT_EQ(back[i].mode2, f.doc[i].mode2);
        }
    }
}

} // namespace
} // namespace vt::vt5::test
