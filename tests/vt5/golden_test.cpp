// Files whose every byte was worked out by hand from the layouts: what the writer must produce
// and what the reader must make of it.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "tests/vt5/vt5_support.h"
#include "vt5/tools/sha256.h"

namespace vt::vt5::test {
namespace {

// "\r\n Tamsor's Vantrel 5.08.01 \r\n 2024-01-02 03:04:05 UTC \r\n": 57 characters.
constexpr std::string_view kStampText =
    "\r\n Tamsor's Vantrel 5.08.01 \r\n 2024-01-02 03:04:05 UTC \r\n";

Bytes stamp_element() {
    Bytes body(kStampText.begin(), kStampText.end());
    body.push_back(0);
    return element(0xFE, body);
}

Bytes zeros(std::size_t n) {
    return Bytes(n, 0);
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts)
        append(out, p);
    return out;
}

TEST(Vt5Golden, OneGreyPixelIsWrittenByteForByte) {
    Doc doc;
    Layer& l = doc.set(0, 1, 1, {0x007B7B7B});
    l.x = -1;
    l.y = 40000; // clamped to 32767
    image::set_layer_name(l, u"Ab");
    l.mode = 0x0102;
    l.mode2 = 500; // not stored: the document is no animation
    l.attr = 7;
    l.transparency = 9;

    const Bytes expected = cat({
        // header: magic, size 32, version 4.3, kind code 1, layer count 1
        {0x5F, 0x56, 0x54, 0x35, 0x20, 0, 0, 0, 0x03, 0, 0x04, 0, 0x01, 0, 0, 0, 0x01, 0},
        zeros(14),
        stamp_element(),
        // layer element, body 128
        {0x01, 0, 0, 0, 0x80, 0, 0, 0},
        {0, 0, 0, 0, 1, 0, 0, 0}, // reserved, byte 4 = 1
        {0xFF, 0xFF, 0xFF, 0xFF}, // x = -1
        {0xFF, 0x7F, 0, 0},       // y = 32767
        {1, 0, 0, 0, 1, 0, 0, 0}, // 1 x 1
        {1, 1, 0, 0},             // grey, 1 channel, complete, distance 0
        {0, 0, 0, 0},             // reserved
        {1, 0, 0, 0, 0, 0, 0, 0}, // metadata at 1, length 0
        {0x02, 0x01, 0, 0, 7, 9}, // mode, mode2 0, attr, transparency
        zeros(18),
        {0x41, 0, 0x62, 0},
        zeros(60), // name "Ab"
        // data block: body 33; C = 1, U = 1, no codecs; payload g
        {0x02, 0, 0, 0, 0x21, 0, 0, 0},
        {0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0},
        zeros(16),
        {0x7B},
        // end
        {0xFF, 0, 0, 0, 0, 0, 0, 0},
    });
    ASSERT_EQ(kStampText.size(), 57u);
    ASSERT_EQ(expected.size(), 283u);
    EXPECT_EQ(write_doc(doc, 1), expected);

    Read back(expected);
    ASSERT_EQ(back.count, 1u);
    EXPECT_EQ(pixels_of(back[0]), Pixels{0x007B7B7B});
    const Layer& l0 = back[0];
    EXPECT_EQ(std::tuple(l0.x, l0.y, l0.mode, l0.mode2, l0.attr, l0.transparency, l0.meta),
              std::tuple(-1, 32767, 0x0102, 0, 7, 9, nullptr));
    EXPECT_EQ(image::layer_name(back[0]), u"Ab");
    EXPECT_EQ(text(back.status.version_text), "4 rev. 03");
    EXPECT_EQ(std::tuple(back.status.doc_kind, back.status.is_native), std::tuple(0, 1));
}

// The layer element of a 3 x 2 picture: only layout, channels and the metadata offset vary.
Bytes layer_3x2(std::uint8_t layout, std::uint8_t channels, std::uint8_t meta_offset) {
    return cat({{0x01, 0, 0, 0, 0x80, 0, 0, 0},
                {0, 0, 0, 0, 1, 0, 0, 0},
                zeros(8),
                {3, 0, 0, 0, 2, 0, 0, 0},
                {layout, channels, 0, 0},
                zeros(4),
                {meta_offset, 0, 0, 0, 0, 0, 0, 0},
                zeros(6 + 18 + 64)});
}

// A 3 x 2 picture's layer and single stored block after the 98 bytes of header and stamp.
TEST(Vt5Golden, ThreeByTwoPicturesAreStoredAsPlanes) {
    using Row = std::tuple<const char*, Pixels, std::uint8_t, std::uint8_t, Bytes>;
    const Row cases[] = {
        // Every byte differs from the one before by 16 or more, so no codec makes the 18 bytes
        // shorter and the block is stored as it is.
        {"colour: B, G, R planes",
         {0x302010, 0x605040, 0x908070, 0xC0B0A0, 0xF0E0D0, 0x0A0500},
         0,
         3,
         {0x10, 0x40, 0x70, 0xA0, 0xD0, 0x00, 0x20, 0x50, 0x80, 0xB0, 0xE0, 0x05, 0x30, 0x60, 0x90,
          0xC0, 0xF0, 0x0A}},
        // 12 stream bytes: below 16, so no codec is tried.
        {"grey and transparency planes",
         {0x00000000, 0x80333333, 0x00666666, 0xFF999999, 0x10CCCCCC, 0x00FFFFFF},
         1,
         2,
         {0x00, 0x33, 0x66, 0x99, 0xCC, 0xFF, 0x00, 0x80, 0x00, 0xFF, 0x10, 0x00}},
    };
    for (const auto& [what, pixels, layout, channels, stream] : cases) {
        Doc doc;
        doc.set(0, 3, 2, pixels);
        const Bytes written = write_doc(doc, 1);
        const auto n = static_cast<std::uint8_t>(stream.size());
        const Bytes tail = cat({layer_3x2(layout, channels, n),
                                {0x02, 0, 0, 0, static_cast<std::uint8_t>(32 + n), 0, 0, 0},
                                {0, 0, 0, 0, n, 0, 0, 0, n, 0, 0, 0, 0, 0, 0, 0},
                                zeros(16),
                                stream,
                                {0xFF, 0, 0, 0, 0, 0, 0, 0}});
        ASSERT_EQ(written.size(), 98 + tail.size()) << what;
        EXPECT_EQ(Bytes(written.begin() + 98, written.end()), tail) << what;
        Read back(written);
        ASSERT_EQ(back.count, 1u);
        EXPECT_EQ(pixels_of(back[0]), pixels) << what;
    }
}

TEST(Vt5Golden, RepeatFrameHasNoDataBlocks) {
    Doc doc;
    doc.set(0, 1, 1, {0x00050505});
    doc.set(1, 1, 1, {0x00050505});
    const Bytes written = write_doc(doc, 2);
    const Bytes first_layer_and_block =
        Bytes(written.begin() + 98, written.begin() + 98 + 136 + 41);
    const Bytes second = Bytes(written.begin() + 98 + 136 + 41, written.end());
    const Bytes expected = cat({{0x01, 0, 0, 0, 0x80, 0, 0, 0},
                                {0, 0, 0, 0, 1, 0, 0, 0},
                                zeros(8),
                                {1, 0, 0, 0, 1, 0, 0, 0},
                                {0, 0, 1, 0}, // layout 0, channels 0, repeat, distance 0
                                zeros(4 + 8 + 6 + 18 + 64),
                                {0xFF, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_EQ(second, expected);
    EXPECT_EQ(first_layer_and_block[8 + 26], 0); // the first layer is complete
}

TEST(Vt5Golden, EmptyDocumentIsHeaderStampAndEnd) {
    Doc doc;
    image::LoadStatus status{};
    Bytes out;
    WriteOptions options;
    options.stamp = kStamp;
    EXPECT_EQ(Vt5Write(doc.data(), 0, status, out, options), 0u);
    const Bytes expected = cat({{0x5F, 0x56, 0x54, 0x35, 0x20, 0, 0, 0, 0x03, 0, 0x04, 0, 0x01},
                                zeros(19),
                                stamp_element(),
                                {0xFF, 0, 0, 0, 0, 0, 0, 0}});
    EXPECT_EQ(out, expected);
}

TEST(Vt5Golden, KindCodesFollowTheDocumentKind) {
    using Case = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t, std::uint8_t>;
    for (const auto& [doc_kind, kind_param, code, stored_param] :
         {Case{0, 5, 1, 5}, Case{1, 6, 3, 6}, Case{2, 7, 2, 7}, Case{3, 8, 4, 8}, Case{4, 9, 1, 0},
          Case{255, 9, 1, 0}}) {
        Doc doc;
        doc.set(0, 1, 1, {0});
        image::LoadStatus status{};
        status.doc_kind = doc_kind;
        status.kind_param = kind_param;
        const Bytes out = write_doc(doc, 1, status);
        EXPECT_EQ(out[12], code) << int{doc_kind};
        EXPECT_EQ(out[13], stored_param) << int{doc_kind};
    }
}

TEST(Vt5Golden, KindCodesReadAsDocumentKinds) {
    using Case = std::tuple<std::uint8_t, std::uint8_t, std::uint8_t>;
    for (const auto& [code, doc_kind, kind_param] :
         {Case{1, 0, 42}, Case{2, 2, 42}, Case{3, 1, 42}, Case{4, 3, 42}, Case{0, 0, 0},
          Case{5, 0, 0}, Case{200, 0, 0}}) {
        Bytes file = file_header(kCurrentVersion, code, 42);
        append(file, end_element());
        Read doc(file);
        EXPECT_EQ(doc.count, 0u);
        EXPECT_EQ(doc.status.doc_kind, doc_kind) << int{code};
        EXPECT_EQ(doc.status.kind_param, kind_param) << int{code};
        EXPECT_EQ(doc.status.is_native, 1);
    }
}

TEST(Sha256, KnownDigests) {
    const std::string abc = "abc";
    EXPECT_EQ(sha256_hex({reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()}),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    EXPECT_EQ(sha256_hex({}), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    const Bytes block(64, 'a'); // exactly one block plus the padding block
    EXPECT_EQ(sha256_hex(block),
              "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb");
}

} // namespace
} // namespace vt::vt5::test
