// Metadata of older files brought to the current form, directly and through the reader.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "image/meta_block.h"
#include "tests/vt5/vt5_support.h"

namespace vt::vt5::test {
namespace {

std::string mark_text(const Layer& l) {
    image::MetaChunk c{};
    if (!image::find_layer_chunk(l, image::kTagMark, c))
        return "<none>";
    return std::string(reinterpret_cast<const char*>(c.data));
}

Bytes chunk_bytes(const Layer& l, std::uint32_t tag) {
    image::MetaChunk c{};
    if (!image::find_layer_chunk(l, tag, c))
        return {};
    return Bytes(c.data, c.data + c.size);
}

void set_mark(Doc& doc, std::uint32_t w, std::uint32_t h, const std::string& text) {
    doc.set(0, w, h, Pixels(std::size_t{w} * h, 0));
    ASSERT_GT(image::add_layer_chunk(doc[0], image::kTagMark,
                                     static_cast<std::uint32_t>(text.size() + 1), text.c_str()),
              0);
}

Bytes record16(std::uint32_t a, std::uint32_t b, std::uint8_t unit = 0) {
    Bytes r(16, 0);
    r[0] = 1;
    base::store_le32(&r[4], a);
    base::store_le32(&r[8], b);
    r[12] = unit;
    return r;
}

TEST(Vt5UpgradeMeta, LegacyKeysBecomeChunks) {
    using Case = std::tuple<const char*, std::string, int, Bytes, Bytes, std::string>;
    const Case cases[] = {
        {"dpi", "\r\nimage.dpi=300 300;", 2, record16(300, 300, 0), {}, ""},
        {"ppcm", "\r\nimage.ppcm=118 120;\r\nx.y=1;", 1, record16(118, 120, 1), {}, "\r\nx.y=1;"},
        {"ppi wins over ppcm",
         "\r\nimage.ppcm=118 118;\r\nimage.ppi=72x96;",
         1,
         record16(72, 96, 0),
         {},
         "\r\n"},
        {"hot spot", "\r\nimage.hotspot=(-3, 7);", 1, {}, record16(0xFFFFFFFD, 7), "\r\n"},
        {"nothing to do", "\r\nexif.model=X;", 0, {}, {}, "\r\nexif.model=X;"},
    };
    for (const auto& [what, mark, changes, phys, hots, left] : cases) {
        Doc doc;
        set_mark(doc, 4, 4, mark);
        EXPECT_EQ(Vt5UpgradeMeta(doc[0], 0x00030000), changes) << what;
        EXPECT_EQ(chunk_bytes(doc[0], image::kTagPhys), phys) << what;
        EXPECT_EQ(chunk_bytes(doc[0], image::kTagHots), hots) << what;
        EXPECT_EQ(mark_text(doc[0]).find("image."), std::string::npos) << what;
        EXPECT_EQ(image::meta_block_size(doc[0].meta, doc[0].meta_size), doc[0].meta_size);
    }
}

TEST(Vt5UpgradeMeta, SpriteGrid) {
    using Case =
        std::tuple<std::string, std::uint32_t, std::uint32_t, std::uint32_t, std::uint16_t>;
    const Case cases[] = {
        // 100 x 70 in cells of 32 x 16: (100 + 16) div 32 = 3, (70 + 8) div 16 = 4
        {"image.sprite.size=32 16;", 3, 4, 12, 0},
        {"image.sprite.size=32 16;image.sprite.used=13;image.sprite.rate=25;", 3, 4, 13, 25},
        {"image.sprite.size=32 16;image.sprite.time=40;image.sprite.rate=25;", 3, 4, 12, 40},
        {"image.sprite.size=0 0;", 100, 70, 7000, 0},
    };
    for (const auto& [mark, columns, rows, used, time] : cases) {
        Doc doc;
        set_mark(doc, 100, 70, mark);
        EXPECT_EQ(Vt5UpgradeMeta(doc[0], 0x00020000), 1) << mark;
        const Bytes sprt = chunk_bytes(doc[0], image::kTagSprt);
        ASSERT_EQ(sprt.size(), 128u) << mark;
        EXPECT_EQ(base::load_le16(&sprt[0]), 1);
        EXPECT_EQ(base::load_le32(&sprt[4]), columns) << mark;
        EXPECT_EQ(base::load_le32(&sprt[8]), rows) << mark;
        EXPECT_EQ(base::load_le32(&sprt[12]), used) << mark;
        EXPECT_EQ(base::load_le16(&sprt[16]), time) << mark;
        EXPECT_EQ(mark_text(doc[0]).find("sprite"), std::string::npos) << mark;
    }
}

TEST(Vt5UpgradeMeta, ResolutionUnitOfVersion41) {
    using Case = std::tuple<std::uint32_t, std::uint32_t, std::uint8_t, std::uint8_t>;
    for (const auto& [version, x, unit_before, unit_after] :
         {Case{0x00040001, 300, 2, 0}, Case{0x00040001, 72, 2, 0}, Case{0x00040001, 2400, 2, 0},
          Case{0x00040001, 71, 2, 2}, Case{0x00040001, 2401, 2, 2}, Case{0x00040001, 300, 1, 1},
          Case{0x00040002, 300, 2, 2}, Case{0x00040003, 300, 2, 2}}) {
        Doc doc;
        doc.set(0, 1, 1, {0});
        const Bytes phys = record16(x, x, unit_before);
        ASSERT_GT(image::add_layer_chunk(doc[0], image::kTagPhys, 16, phys.data()), 0);
        EXPECT_EQ(Vt5UpgradeMeta(doc[0], version), unit_before != unit_after ? 1 : 0);
        EXPECT_EQ(chunk_bytes(doc[0], image::kTagPhys)[12], unit_after) << x;
    }
}

TEST(Vt5UpgradeMeta, OldAnimationAndAdjustmentChunksAreRebuilt) {
    Bytes anim(40);
    for (std::size_t i = 0; i < anim.size(); ++i)
        anim[i] = static_cast<std::uint8_t>(i + 1);
    base::store_le16(&anim[4], 2);
    Bytes adju(20, 0x77);
    base::store_le16(&adju[4], 1);
    for (const std::uint32_t version : {0x00030000u, 0x00040000u, 0x00040002u, 0x00040003u}) {
        Doc doc;
        doc.set(0, 1, 1, {0});
        ASSERT_GT(image::add_layer_chunk(doc[0], image::kTagAnim, 40, anim.data()), 0);
        ASSERT_GT(image::add_layer_chunk(doc[0], image::kTagAdju, 20, adju.data()), 0);
        const bool rebuilt = version <= 0x00040002;
        EXPECT_EQ(Vt5UpgradeMeta(doc[0], version), rebuilt ? 2 : 0);
        const Bytes a = chunk_bytes(doc[0], image::kTagAnim);
        const Bytes j = chunk_bytes(doc[0], image::kTagAdju);
        if (!rebuilt) {
            EXPECT_EQ(a, anim);
            continue;
        }
        // The old header at version 3 padded to 256 bytes, then the old step padded to 40.
        Bytes want(anim.begin(), anim.begin() + 16);
        base::store_le16(&want[4], 3);
        want.resize(256, 0);
        want.insert(want.end(), anim.begin() + 16, anim.end());
        want.resize(296, 0);
        EXPECT_EQ(a, want);
        ASSERT_EQ(j.size(), 276u);
        EXPECT_EQ(base::load_le16(&j[4]), 2);
    }
}

TEST(Vt5UpgradeMeta, ReaderUpgradesOlderRevisions) {
    // A 4.1 file: its per-inch resolution stored with unit 2 reads with unit 0.
    Doc doc;
    doc.set(0, 1, 1, {0});
    const Bytes phys = record16(300, 300, 2);
    ASSERT_GT(image::add_layer_chunk(doc[0], image::kTagPhys, 16, phys.data()), 0);
    Bytes file = write_doc(doc, 1);
    for (const std::uint16_t revision : {std::uint16_t{1}, std::uint16_t{2}}) {
        base::store_le16(&file[8], revision);
        Read back(file);
        ASSERT_EQ(back.count, 1u);
        EXPECT_EQ(chunk_bytes(back[0], image::kTagPhys)[12], revision == 1 ? 0 : 2);
        EXPECT_EQ(back.status.meta_upgraded, revision == 1 ? 1 : 0);
    }
}

} // namespace
} // namespace vt::vt5::test
