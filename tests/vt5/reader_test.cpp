// The reader: failure texts and boxes, header and element rules, pixel layouts, reference
// frames, metadata and the layer limit, on files framed by hand.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <tuple>

#include "image/meta_block.h"
#include "tests/vt5/vt5_support.h"

namespace vt::vt5::test {
namespace {

using platform::MessageIcon;

// A complete file: header (given version, kind code) then the elements, then the end element.
Bytes file_of(std::initializer_list<Bytes> elements, std::uint32_t version = kCurrentVersion,
              std::uint8_t kind_code = 1) {
    Bytes f = file_header(version, kind_code);
    for (const Bytes& e : elements)
        append(f, e);
    append(f, end_element());
    return f;
}

// One layer with its stream stored in a single uncompressed block.
Bytes layer_with(const Vt5LayerHeader& h, const Bytes& stream) {
    Bytes e = layer_element(h);
    if (!stream.empty())
        append(e, block_element(stream));
    return e;
}

Bytes grey_1x1(std::uint8_t g) {
    return layer_with(layer_header(1, 1, 1, 1), {g});
}

TEST(Vt5Read, FailuresEndWithTheirText) {
    using Case = std::tuple<const char*, Bytes, std::string, std::uint8_t>;
    Vt5LayerHeader wide = layer_header(70000, 1, 1, 1);
    Vt5LayerHeader zero = layer_header(0, 5, 1, 1);
    Vt5LayerHeader huge_meta = layer_header(1, 1, 1, 1);
    huge_meta.meta_length = 0xFFFFFFFF;
    Bytes short_header = file_header();
    short_header.resize(20);
    const char* const short_text = "Invalid VT5 header size";
    Bytes wrong_magic = file_header();
    wrong_magic[3] = '4';
    const Case cases[] = {
        {"7 bytes", Bytes(7, 0x5F), "Error reading data from file", 0},
        {"header cut", short_header, short_text, 0},
        {"header size 12 of 10", {0x5F, 0x56, 0x54, 0x35, 12, 0, 0, 0, 0, 0}, short_text, 0},
        {"magic", wrong_magic, "Invalid magic number in VT5 header", 0},
        {"major 6", file_of({}, 0x00060002), "Unsupported VT5 version", 1},
        {"major 5", file_of({}, 0x00050000), "Unsupported VT5 version", 1},
        {"width 70000", file_of({layer_with(wide, {})}), bitmap_error(70000, 1), 1},
        {"width 0", file_of({grey_1x1(1), layer_with(zero, {})}), bitmap_error(0, 5, 2), 1},
        {"metadata of 4 GiB", file_of({layer_with(huge_meta, {})}),
         "Error creating memory buffers for decompression", 1},
    };
    for (const auto& [what, file, error, native] : cases) {
        Read doc(file);
        EXPECT_EQ(doc.count, 0u) << what;
        EXPECT_EQ(text(doc.status.error_text), error) << what;
        EXPECT_EQ(doc.status.is_native, native) << what;
    }
}

TEST(Vt5Read, MissingLayersAndFilesFail) {
    image::LoadStatus status{};
    const Bytes file = file_of({grey_1x1(1)});
    EXPECT_EQ(Vt5Read(nullptr, 4, status, file, u"x.vt5"), 0u);
    EXPECT_EQ(text(status.error_text), "The provided image data is invalid");
    EXPECT_EQ(Vt5Read(nullptr, 4, status, u"/nonexistent/x.vt5"), 0u);
    EXPECT_EQ(text(status.error_text), "The provided image data is invalid");
    Doc doc;
    EXPECT_EQ(Vt5Read(doc.data(), 4, status, u"/nonexistent/x.vt5"), 0u);
    EXPECT_EQ(text(status.error_text), "Cannot open file for read access");
}

TEST(Vt5Read, WrongExtensionBoxOnlyForVt5NamesWhenNotSilent) {
    Bytes png = {0x89, 'P', 'N', 'G', 13, 10, 26, 10, 0, 0, 0, 13};
    png.resize(64, 0);
    using Case = std::tuple<std::u16string, std::uint8_t, bool>;
    for (const auto& [name, silent, box] :
         {Case{u"a.vt5", 0, true}, Case{u"dir.x/A.VT5", 0, true}, Case{u"a.Vt5", 0, true},
          Case{u"a.vt5", 1, false}, Case{u"a.png", 0, false}, Case{u"vt5", 0, false},
          Case{u"a.vt5.png", 0, false}}) {
        BoxRecorder boxes;
        Doc doc;
        image::LoadStatus status{};
        status.silent = silent;
        EXPECT_EQ(Vt5Read(doc.data(), doc.capacity(), status, png, name), 0u);
        EXPECT_EQ(text(status.error_text), "Invalid magic number in VT5 header");
        EXPECT_EQ(status.is_native, 0);
        const BoxRecorder::Boxes wrong = {
            {u"Although this file has a .VT5 extension, the data in it seems to be something "
             u"different.",
             u"Wrong File Extension", MessageIcon::information}};
        EXPECT_EQ(BoxRecorder::boxes(), box ? wrong : BoxRecorder::Boxes{})
            << base::utf16_to_utf8(name);
    }
}

TEST(Vt5Read, NewerRevisionShowsVersionConflictOnceAndReads) {
    for (const std::uint32_t version : {0x00040003u, 0x00040004u}) {
        BoxRecorder boxes;
        Doc doc;
        image::LoadStatus status{};
        const Bytes file = file_of({grey_1x1(9), grey_1x1(8)}, version);
        EXPECT_EQ(Vt5Read(doc.data(), doc.capacity(), status, file, u"a.vt5"), 2u);
        const BoxRecorder::Boxes conflict = {
            {u"This file was created by a newer version of the VT5 encoder.", u"Version Conflict",
             MessageIcon::information}};
        EXPECT_EQ(BoxRecorder::boxes(), version == 0x00040004 ? conflict : BoxRecorder::Boxes{});
        EXPECT_EQ(text(status.version_text), version == 0x00040004 ? "4 rev. 04" : "4 rev. 03");
    }
}

TEST(Vt5Read, HeaderSizeSetsWhereElementsStart) {
    Bytes file = file_header(kCurrentVersion, 1, 0, 40);
    append(file, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE}); // 8 bytes nobody reads
    append(file, grey_1x1(0x11));
    append(file, end_element());
    Read doc(file);
    ASSERT_EQ(doc.count, 1u);
    EXPECT_EQ(pixels_of(doc[0]), Pixels{0x00111111});
}

TEST(Vt5Read, UnknownElementsAreSkippedAndEndStopsReading) {
    const Bytes stamp = element(254, {'h', 'i', 0});
    const Bytes odd = element(77, Bytes(300, 0x01));
    Bytes file = file_of({stamp, grey_1x1(1), odd, grey_1x1(2)});
    append(file, grey_1x1(3)); // after the end element
    Read doc(file);
    ASSERT_EQ(doc.count, 2u);
    EXPECT_EQ(pixels_of(doc[1]), Pixels{0x00020202});

    // Without an end element the end of the data ends the read.
    Bytes open_end = file_header();
    append(open_end, grey_1x1(4));
    EXPECT_EQ(Read(open_end).count, 1u);
}

TEST(Vt5Read, NoLayersGivesZeroWithoutAnError) {
    Read doc(file_of({element(254, {'x', 0})}));
    EXPECT_EQ(doc.count, 0u);
    EXPECT_EQ(text(doc.status.error_text), "An unknown error occurred");
    EXPECT_EQ(text(doc.status.version_text), "4 rev. 03");
}

TEST(Vt5Read, PixelLayouts) {
    // A 2 x 1 picture; planes hold p0 p1 of each channel.
    using Case = std::tuple<const char*, std::uint8_t, std::uint8_t, Bytes, Pixels>;
    Bytes palette(1024, 0);
    base::store_le32(&palette[0], 0x11223344);
    base::store_le32(&palette[4 * 200], 0x80A0B0C0);
    Bytes palette_stream = palette;
    append(palette_stream, {200, 0});
    const Case cases[] = {
        {"planes 3", 0, 3, {1, 2, 3, 4, 5, 6}, {0x00050301, 0x00060402}},
        {"planes 4", 0, 4, {1, 2, 3, 4, 5, 6, 7, 8}, {0x07050301, 0x08060402}},
        {"planes 2: nothing read", 0, 2, {1, 2, 3, 4}, {0, 0}},
        {"grey 1", 1, 1, {9, 10}, {0x00090909, 0x000A0A0A}},
        {"grey 2", 1, 2, {9, 10, 7, 8}, {0x07090909, 0x080A0A0A}},
        {"grey 3: no transparency", 1, 3, {9, 10, 7, 8, 5, 6}, {0x00090909, 0x000A0A0A}},
        {"grey 4: second plane", 1, 4, {9, 10, 7, 8, 5, 6, 3, 4}, {0x07090909, 0x080A0A0A}},
        {"palette", 2, 1, palette_stream, {0x80A0B0C0, 0x11223344}},
        {"channels 0", 0, 0, {}, {0, 0}},
        {"layout 7", 7, 1, {1, 2}, {0, 0}},
    };
    for (const auto& [what, layout, channels, stream, pixels] : cases) {
        Read doc(file_of({layer_with(layer_header(2, 1, layout, channels), stream)}));
        ASSERT_EQ(doc.count, 1u) << what;
        EXPECT_EQ(pixels_of(doc[0]), pixels) << what;
    }
}

TEST(Vt5Read, ReferenceFrames) {
    Vt5LayerHeader repeat = layer_header(2, 1, 0, 0);
    repeat.frame_type = kFrameRepeat;
    Vt5LayerHeader diff = layer_header(2, 1, 0, 4);
    diff.frame_type = kFrameDifference;
    const Bytes first = layer_with(layer_header(2, 1, 0, 4), {1, 2, 3, 4, 5, 6, 7, 8});
    const Bytes second = layer_with(layer_header(2, 1, 0, 3), {0x10, 0x20, 0x30, 0x40, 0x50, 0x60});
    Vt5LayerHeader repeat_d1 = repeat;
    repeat_d1.reference_distance = 1;
    Vt5LayerHeader repeat_far = repeat;
    repeat_far.reference_distance = 5;
    Vt5LayerHeader repeat_other_size = layer_header(1, 1, 0, 0);
    repeat_other_size.frame_type = kFrameRepeat;

    Read doc(file_of({first, second, layer_with(repeat, {}), layer_with(repeat_d1, {}),
                      layer_with(diff, {0xFF, 1, 0, 0, 0, 0, 0xF9, 0xF8}),
                      layer_with(repeat_far, {}), layer_with(repeat_other_size, {})}));
    ASSERT_EQ(doc.count, 7u);
    const Pixels p1 = {0x00503010, 0x00604020};
    EXPECT_EQ(pixels_of(doc[2]), p1); // repeat of the previous layer
    EXPECT_EQ(pixels_of(doc[3]), p1); // distance 1: layer 1
    // Difference to layer 3: byte-wise sums modulo 256, no carry from B (0x10 + 0xFF) into G.
    EXPECT_EQ(pixels_of(doc[4]), (Pixels{0xF950300F, 0xF8604021}));
    EXPECT_EQ(pixels_of(doc[5]), (Pixels{0, 0})); // reference before layer 0: as created
    EXPECT_EQ(pixels_of(doc[6]), (Pixels{0}));    // reference of another size: as created
}

TEST(Vt5Read, UnknownFrameTypeKeepsTheLayerAndWarns) {
    Vt5LayerHeader odd = layer_header(1, 1, 1, 1);
    odd.frame_type = 3;
    for (const std::uint8_t silent : {std::uint8_t{0}, std::uint8_t{1}}) {
        BoxRecorder boxes;
        Doc doc;
        image::LoadStatus status{};
        status.silent = silent;
        const Bytes file = file_of({layer_with(odd, {0x21})});
        ASSERT_EQ(Vt5Read(doc.data(), doc.capacity(), status, file, u"a.vt5"), 1u);
        EXPECT_EQ(pixels_of(doc[0]), Pixels{0x00212121});
        EXPECT_EQ(text(status.error_text), "Frame Error: Unknown Frame Type");
        ASSERT_EQ(BoxRecorder::boxes().size(), silent ? 0u : 1u);
        if (!silent) {
            EXPECT_EQ(BoxRecorder::boxes()[0].title, u"VT5 Decoder - Frame Error");
            EXPECT_EQ(BoxRecorder::boxes()[0].icon, MessageIcon::warning);
        }
    }
}

TEST(Vt5Read, FrameDelayOnlyForAnimations) {
    Vt5LayerHeader h = layer_header(1, 1, 1, 1);
    h.mode2 = 120;
    h.mode = 0x0105;
    for (const std::uint8_t code :
         {std::uint8_t{1}, std::uint8_t{2}, std::uint8_t{3}, std::uint8_t{4}}) {
        Read doc(file_of({layer_with(h, {1})}, kCurrentVersion, code));
        ASSERT_EQ(doc.count, 1u);
        EXPECT_EQ(doc[0].mode2, code == 2 ? 120 : 0) << int{code};
        EXPECT_EQ(doc[0].mode, 0x0105);
    }
}

TEST(Vt5Read, NamesAreCutAt31Characters) {
    Vt5LayerHeader h = layer_header(1, 1, 1, 1);
    for (std::size_t i = 0; i < 32; ++i)
        h.name[i] = static_cast<char16_t>(u'a' + i % 26);
    Bytes e = layer_element(h);
    // The writer's serialisation stops at 31; put a 32nd unit into the stored field by hand.
    e[8 + 64 + 62] = 'Z';
    append(e, block_element({1}));
    Read doc(file_of({e}));
    ASSERT_EQ(doc.count, 1u);
    EXPECT_EQ(image::layer_name(doc[0]).size(), 31u);
    EXPECT_EQ(doc[0].name[31], 0);
}

TEST(Vt5Read, ShortAndLongLayerBodies) {
    // A body of 40 bytes: the rest of the header reads as 0 (so no metadata, no name).
    Vt5LayerHeader h = layer_header(2, 1, 1, 1);
    h.meta_offset = 0;
    const auto raw = serialize_layer_header(h);
    Bytes short_body = element(1, Bytes(raw.begin(), raw.begin() + 40));
    append(short_body, block_element({5, 6}));
    // A body of 200 bytes: 72 bytes after the header are skipped.
    Bytes long_raw(raw.begin(), raw.end());
    long_raw.resize(200, 0xAB);
    Bytes long_body = element(1, long_raw);
    append(long_body, block_element({7, 8}));
    Read doc(file_of({short_body, long_body}));
    ASSERT_EQ(doc.count, 2u);
    EXPECT_EQ(pixels_of(doc[0]), (Pixels{0x00050505, 0x00060606}));
    EXPECT_EQ(pixels_of(doc[1]), (Pixels{0x00070707, 0x00080808}));
}

TEST(Vt5Read, MetadataIsTakenFromItsOffset) {
    void* block = nullptr;
    std::uint32_t size = 0;
    ASSERT_GT(image::add_meta_chunk(&block, &size, image::kTagMark, 6, "a=b;\r"), 0);
    const Bytes meta_bytes(static_cast<std::uint8_t*>(block),
                           static_cast<std::uint8_t*>(block) + size);
    std::free(block);

    Vt5LayerHeader h = layer_header(1, 1, 1, 1);
    h.meta_length = static_cast<std::uint32_t>(meta_bytes.size());
    Bytes stream = {0x30};
    append(stream, meta_bytes);
    Read doc(file_of({layer_with(h, stream)}));
    ASSERT_EQ(doc.count, 1u);
    ASSERT_NE(doc[0].meta, nullptr);
    EXPECT_EQ(doc[0].meta_size, meta_bytes.size());
    image::MetaChunk chunk{};
    ASSERT_TRUE(image::find_layer_chunk(doc[0], image::kTagMark, chunk));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(chunk.data), 4), "a=b;");
    EXPECT_EQ(doc.status.meta_upgraded, 0);

    // An offset past the stream leaves a zero-filled block of the stated length.
    Vt5LayerHeader past = h;
    past.meta_offset = 1000;
    Doc doc2;
    ASSERT_EQ(read_doc(file_of({layer_with(past, stream)}), doc2, doc.status), 1u);
    ASSERT_NE(doc2[0].meta, nullptr);
    EXPECT_EQ(static_cast<std::uint8_t*>(doc2[0].meta)[0], 0);
}

TEST(Vt5Read, LayerLimitStopsAfterTheLastSlotIsDecoded) {
    const Bytes file = file_of({grey_1x1(1), grey_1x1(2), grey_1x1(3)});
    const struct {
        std::size_t capacity;
        std::uint32_t count;
        int hit; // a layer beyond the last slot; filling every slot exactly is no loss
    } cases[] = {{2, 2, 1}, {3, 3, 0}, {4, 3, 0}};
    for (const auto& c : cases) {
        Read doc(file, c.capacity);
        ASSERT_EQ(doc.count, c.count);
        EXPECT_EQ(doc.status.layer_limit_hit, c.hit) << c.capacity;
        EXPECT_EQ(pixels_of(doc[1]), Pixels{0x00020202});
    }
}

TEST(Vt5Read, BlockFaultsKeepTheLayerAndReadOn) {
    using Case = std::tuple<const char*, Bytes, const char16_t*, const char16_t*>;
    const Case cases[] = {
        {"unknown codec", block_element({1, 2}, 2, 9),
         u"Block Error: Unknown/unsupported compressor", u"VT5 Decoder - Unknown Element"},
        {"corrupt RunLength", block_element({0x80, 0xFF, 0xFF, 0xFF, 0xFF, 1}, 2, 1),
         u"Block Error: Invalid/corrupt data in block", u"VT5 Decoder - Corrupt Block"},
        {"empty payload", block_element({}, 2), u"Block Error: Invalid input data for block",
         u"VT5 Decoder - Corrupt Block"},
    };
    for (const auto& [what, block, error, title] : cases) {
        BoxRecorder boxes;
        Bytes first = layer_element(layer_header(2, 1, 1, 1));
        append(first, block);
        Doc doc;
        image::LoadStatus status{};
        const Bytes file = file_of({first, grey_1x1(0x44)});
        ASSERT_EQ(Vt5Read(doc.data(), doc.capacity(), status, file, u"a.vt5"), 2u) << what;
        EXPECT_EQ(BoxRecorder::boxes(), (BoxRecorder::Boxes{{error, title, MessageIcon::warning}}))
            << what;
        EXPECT_EQ(pixels_of(doc[1]), Pixels{0x00444444}) << what;
        // What was lost is said once the layers are read.
        EXPECT_EQ(status.warnings[3], 1) << what;
        EXPECT_EQ(text(status.error_text).rfind("the file is cut short or damaged: ", 0), 0u)
            << what;
    }
}

TEST(Vt5Read, BlockClaimingTooMuchIsCorrupt) {
    Bytes layer = layer_element(layer_header(2, 1, 1, 1));
    append(layer, block_element({1}, 70000));
    // A single layer of which nothing could be read is no picture: the load fails.
    Read doc(file_of({layer}));
    ASSERT_EQ(doc.count, 0u);
    EXPECT_EQ(text(doc.status.error_text),
              "Block Error: Invalid/corrupt data in block; none of the picture data could be read");
    // Reading goes on behind the failed block.
    Doc doc2;
    ASSERT_EQ(read_doc(file_of({layer, grey_1x1(0x44)}), doc2, doc.status), 2u);
    EXPECT_EQ(pixels_of(doc2[1]), Pixels{0x00444444});
}

} // namespace
} // namespace vt::vt5::test
