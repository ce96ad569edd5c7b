#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

#include "base/le.h"
#include "image/image_doc.h"
#include "image/meta_adjust.h"
#include "image/meta_block.h"

namespace vt::image {
namespace {

using base::load_le16;
using base::load_le32;
using base::store_le16;
using base::store_le32;

// A layer of the given size whose metadata the test fills; released at the end.
struct TestLayer {
    Layer layer{};
    TestLayer(std::uint32_t w, std::uint32_t h) {
        layer.bitmap.width = w;
        layer.bitmap.height = h;
    }
    ~TestLayer() { std::free(layer.meta); }

    void add_text(std::uint32_t tag, const std::string& text) {
        ASSERT_NE(
            add_layer_chunk(layer, tag, static_cast<std::uint32_t>(text.size() + 1), text.c_str()),
            0);
    }
    std::uint8_t* add_binary(std::uint32_t tag, std::uint32_t size) {
        void* data = nullptr;
        EXPECT_NE(add_layer_chunk(layer, tag, size, nullptr, &data), 0);
        return static_cast<std::uint8_t*>(data);
    }
    std::string text(std::uint32_t tag) const {
        MetaChunk c{};
        if (!find_layer_chunk(layer, tag, c))
            return "<none>";
        return std::string(reinterpret_cast<const char*>(c.data),
                           strnlen(reinterpret_cast<const char*>(c.data), c.size));
    }
    std::uint8_t* chunk(std::uint32_t tag) const {
        MetaChunk c{};
        return find_layer_chunk(layer, tag, c) ? c.data : nullptr;
    }
};

std::int32_t i32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(load_le32(p));
}
void put_i32(std::uint8_t* p, std::int32_t v) {
    store_le32(p, static_cast<std::uint32_t>(v));
}

TEST(RotateMeta, OrientationFollowsItsCycle) {
    using Row = std::tuple<const char*, int, const char*>;
    const Row cases[] = {
        {"6", 1, "exif.orientation=1 (top - left)"},
        {"2 (top - right)", 2, "exif.orientation=4 (bottom - left)"},
        {"1", 3, "exif.orientation=6 (right - top)"},
        {"8", 2, "exif.orientation=6 (right - top)"},
        {"5", 1, "exif.orientation=2 (top - right)"},
    };
    for (const auto& [stored, turn, expected] : cases) {
        TestLayer t(10, 20);
        t.add_text(kTagMark, std::string("\r\nexif.make=X;\r\nexif.orientation=") + stored +
                                 ";\r\nexif.model=Y;");
        ASSERT_EQ(adjust_meta_for_rotation(t.layer, turn), 1);
        EXPECT_EQ(t.text(kTagMark),
                  std::string("\r\nexif.make=X;\r\n") + expected + ";\r\nexif.model=Y;")
            << stored << " turn " << turn;
    }
    for (const char* kept : {"0", "9", "x"}) {
        TestLayer t(10, 20);
        const std::string text = std::string("exif.orientation=") + kept + ";";
        t.add_text(kTagMark, text);
        ASSERT_EQ(adjust_meta_for_rotation(t.layer, 1), 1);
        EXPECT_EQ(t.text(kTagMark), text);
    }
    TestLayer t(1, 1);
    EXPECT_EQ(adjust_meta_for_rotation(t.layer, 0), 0);
    EXPECT_EQ(adjust_meta_for_rotation(t.layer, 4), 0);
}

TEST(RotateMeta, TextRotationAddsTheTurnModuloAFullCircle) {
    using Row = std::tuple<int, int, int>;
    const Row cases[] = {{900, 1, 0}, {900, 3, 1800}, {900, 2, 2700}, {0, 1, 2700}, {3500, 3, 800}};
    for (const auto& [value, turn, expected] : cases) {
        TestLayer t(10, 10);
        t.add_text(kTagText,
                   "FONT$=\"Arial\"\r\nROTATE$=\"" + std::to_string(value) + "\"\r\nSIZE$=\"12\"");
        ASSERT_EQ(adjust_meta_for_rotation(t.layer, turn), 1);
        EXPECT_EQ(t.text(kTagText), "FONT$=\"Arial\"\r\nROTATE$=\"" + std::to_string(expected) +
                                        "\"\r\nSIZE$=\"12\"");
    }
}

TEST(RotateMeta, PointsOffsetsAndGridsTurnWithThePicture) {
    // Sizes after the turn: W = 30, H = 40.
    for (int turn = 1; turn <= 3; ++turn) {
        TestLayer t(30, 40);
        std::uint8_t* path = t.add_binary(kTagPath, 16 + 2 * 10);
        store_le16(path + 2, 3); // claims 3 points, only 2 fit
        put_i32(path + 16, 5);
        put_i32(path + 20, 7);
        std::uint8_t* anim = t.add_binary(kTagAnim, 256 + 3 * 24);
        store_le16(anim + 6, 3);
        const std::uint16_t kinds[3] = {272, 273, 99};
        for (int s = 0; s < 3; ++s) {
            store_le16(anim + 256 + s * 24 + 4, kinds[s]);
            put_i32(anim + 256 + s * 24 + 16, 10 + s);
        }
        std::uint8_t* phys = t.add_binary(kTagPhys, 16);
        store_le32(phys + 4, 300);
        store_le32(phys + 8, 600);
        std::uint8_t* hots = t.add_binary(kTagHots, 16);
        put_i32(hots + 4, 5);
        put_i32(hots + 8, 7);
        std::uint8_t* sprt = t.add_binary(kTagSprt, 128);
        store_le32(sprt + 4, 4);
        store_le32(sprt + 8, 2);

        ASSERT_EQ(adjust_meta_for_rotation(t.layer, turn), 1);
        path = t.chunk(kTagPath);
        anim = t.chunk(kTagAnim) + 256;
        hots = t.chunk(kTagHots);
        // Path point and hot spot; the two moves' kinds and amounts (other kinds untouched);
        // resolution x and sprite columns, exchanged by a quarter turn.
        const std::vector<std::int64_t> expected[4] = {
            {},
            {22, 5, 22, 5, 273, 10, 272, -11, 12, 600, 2},
            {24, 32, 24, 32, 272, -10, 273, -11, 12, 300, 4},
            {7, 34, 7, 34, 273, -10, 272, 11, 12, 600, 2}};
        EXPECT_EQ((std::vector<std::int64_t>{i32(path + 16), i32(path + 20), i32(hots + 4),
                                             i32(hots + 8), load_le16(anim + 4), i32(anim + 16),
                                             load_le16(anim + 28), i32(anim + 40), i32(anim + 64),
                                             load_le32(t.chunk(kTagPhys) + 4),
                                             load_le32(t.chunk(kTagSprt) + 4)}),
                  expected[turn])
            << "turn " << turn;
    }
}

TEST(ResizeMeta, BrushSpacingTextSizeAndBinaryFieldsScale) {
    TestLayer t(10, 10);
    t.add_text(kTagMark, "\r\nbrush.spacing=10;\r\nbrush.size=3;");
    t.add_text(kTagText, "SIZE$=\"100\"\r\nROTATE$=\"0\"");
    std::uint8_t* hots = t.add_binary(kTagHots, 16);
    put_i32(hots + 4, -5);
    put_i32(hots + 8, 2000000000);
    std::uint8_t* phys = t.add_binary(kTagPhys, 16);
    store_le32(phys + 4, 3000000000u); // read as unsigned
    store_le32(phys + 8, 72);

    ASSERT_EQ(adjust_meta_for_resize(t.layer, 2.0, 3.0, false), 1);
    EXPECT_EQ(t.text(kTagMark), "\r\nbrush.spacing=25;\r\nbrush.size=3;");
    EXPECT_EQ(t.text(kTagText), "SIZE$=\"296\"\r\nROTATE$=\"0\"") << "100 * (3*0.96 + 2*0.04)";
    EXPECT_EQ(i32(t.chunk(kTagHots) + 4), -9) << "-10 + 0.5, truncated";
    EXPECT_EQ(i32(t.chunk(kTagHots) + 8), 2000000000) << "limited";
    EXPECT_EQ(load_le32(t.chunk(kTagPhys) + 8), 72u) << "print size not retained";

    ASSERT_EQ(adjust_meta_for_resize(t.layer, 0.5, 0.5, true), 1);
    EXPECT_EQ(load_le32(t.chunk(kTagPhys) + 4), 1500000000u);
    EXPECT_EQ(load_le32(t.chunk(kTagPhys) + 8), 36u);

    TestLayer big(1, 1);
    big.add_text(kTagMark, "brush.spacing=60000;x=1;");
    ASSERT_EQ(adjust_meta_for_resize(big.layer, 4.0, 4.0, false), 1);
    EXPECT_EQ(big.text(kTagMark), "brush.spacing=65535;x=1;");
}

TEST(PrivateData, RemovesGpsAndDatesOnRequest) {
    const std::string text =
        "\r\nexif.make=X;\r\nexif.GPS.latitude.pos=1;\r\nEXIF.GPS.Longitude.Ref =E;"
        "\r\nexif.date_time=2020;\r\nexif.date_time_original=2019;\r\nexif.GPS.timestamp=1;"
        "\r\nexif.GPS.latitude.pos=again;\r\nexif.GPS.map_datum=WGS-84;"
        "\r\nexif.photo.sub_sec_time_original=12;\r\nexif.photo.offset_time=+01:00;"
        "\r\nexif.photo.exposure_time=1/8 sec;";
    TestLayer layers[2] = {TestLayer(1, 1), TestLayer(1, 1)};
    layers[0].add_text(kTagMark, text);
    layers[1].add_text(kTagMark, text);
    Layer both[2] = {layers[0].layer, layers[1].layer};
    EXPECT_EQ(remove_private_data(both, 2, false, false), 0);
    ASSERT_EQ(remove_private_data(both, 2, true, false), 1);
    EXPECT_EQ(layers[1].text(kTagMark),
              "\r\nexif.make=X;\r\nexif.date_time=2020;\r\nexif.date_time_original=2019;"
              "\r\nexif.GPS.timestamp=1;\r\nexif.photo.sub_sec_time_original=12;"
              "\r\nexif.photo.offset_time=+01:00;\r\nexif.photo.exposure_time=1/8 sec;")
        << "every tag of the GPS directory goes, its date and time stay";
    ASSERT_EQ(remove_private_data(both, 2, false, true), 1);
    EXPECT_EQ(layers[0].text(kTagMark), "\r\nexif.make=X;\r\nexif.photo.exposure_time=1/8 sec;")
        << "an exposure time is no date";
}

TEST(ExifDimensions, FollowTheBitmapAndKeepTheirTypeMarkWhileItFits) {
    TestLayer small(800, 70000);
    small.add_text(kTagMark, "\r\nexif.make=X;\r\nexif.photo.pixel_x_dimension=(short) 3000;"
                             "\r\nexif.photo.pixel_y_dimension=(short) 2000;");
    EXPECT_EQ(sync_exif_dimensions(small.layer), 1);
    EXPECT_EQ(small.text(kTagMark), "\r\nexif.make=X;\r\nexif.photo.pixel_x_dimension=(short) 800;"
                                    "\r\nexif.photo.pixel_y_dimension=70000;")
        << "70000 needs the tag's usual long type";
    EXPECT_EQ(sync_exif_dimensions(small.layer), 0) << "nothing left to change";

    TestLayer none(5, 5);
    none.add_text(kTagMark, "\r\nexif.make=X;");
    EXPECT_EQ(sync_exif_dimensions(none.layer), 0);
    EXPECT_EQ(none.text(kTagMark), "\r\nexif.make=X;") << "no dimension keys, none added";
}

TEST(MergeFrames, FirstFrameWinsAndOthersGiveOnlyExifAndBrushKeys) {
    TestLayer frames[3] = {TestLayer(1, 1), TestLayer(1, 1), TestLayer(1, 1)};
    frames[0].add_text(kTagMark, "\r\nexif.make=First;");
    frames[0].add_binary(kTagHots, 16);
    frames[1].add_text(kTagMark, "\r\nexif.make=Second;\r\nexif.model=M2;\r\nimage.bpp=8;");
    frames[2].add_text(kTagMark, "\r\nbrush.spacing=4;\r\nexif.model=M3;");
    Layer layers[3] = {frames[0].layer, frames[1].layer, frames[2].layer};
    std::uint32_t size = 0;
    void* merged = merge_frame_metadata(layers, 3, &size);
    ASSERT_NE(merged, nullptr);
    MetaChunk c{};
    ASSERT_TRUE(find_meta_chunk(merged, size, kTagMark, c));
    EXPECT_STREQ(reinterpret_cast<const char*>(c.data),
                 "\r\nexif.make=First;\r\nexif.model=M2;\r\nbrush.spacing=4;");
    EXPECT_TRUE(find_meta_chunk(merged, size, kTagHots, c)) << "the first block's chunks stay";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(frames[0].chunk(kTagMark))),
              "\r\nexif.make=First;")
        << "the first layer's own block is untouched";
    std::free(merged);

    Layer bare[2] = {};
    bare[1] = frames[1].layer;
    merged = merge_frame_metadata(bare, 2, &size);
    ASSERT_NE(merged, nullptr);
    ASSERT_TRUE(find_meta_chunk(merged, size, kTagMark, c));
    EXPECT_STREQ(reinterpret_cast<const char*>(c.data), "\r\nexif.make=Second;\r\nexif.model=M2;");
    std::free(merged);
    EXPECT_EQ(merge_frame_metadata(bare, 0, &size), nullptr);
}

} // namespace
} // namespace vt::image
