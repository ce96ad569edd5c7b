// Damaged and hostile files: every cut of a valid file, sizes no file of that length could
// hold, overflowing stream sizes. Each ends cleanly with its text and allocates nothing big.

#include <gtest/gtest.h>

#include <cstring>
#include <tuple>

#include "image/meta_block.h"
#include "tests/vt5/vt5_support.h"

namespace vt::vt5::test {
namespace {

// Three layers: a colour picture with metadata, a repeat and a difference frame.
Bytes sample_file() {
    Doc doc;
    Pixels a(24 * 24);
    for (std::size_t i = 0; i < a.size(); ++i)
        a[i] = static_cast<std::uint32_t>(i * 2654435761u) & 0x80FFFFFF;
    Pixels b = a;
    for (std::size_t i = 0; i < b.size(); i += 3)
        b[i] += 0x00010101;
    doc.set(0, 24, 24, a);
    doc.set(1, 24, 24, a);
    doc.set(2, 24, 24, b);
    const char mark[] = "image.dpi=72;";
    EXPECT_GT(image::add_layer_chunk(doc[0], image::kTagMark, sizeof mark, mark), 0);
    EXPECT_GT(image::add_layer_chunk(doc[1], image::kTagMark, sizeof mark, mark), 0);
    return write_doc(doc, 3, 2);
}

TEST(Vt5Hostile, EveryCutOfAValidFileEndsCleanly) {
    const Bytes file = sample_file();
    Read full(file);
    ASSERT_EQ(full.count, 3u);
    for (std::size_t n = 0; n < file.size(); ++n) {
        const Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        Doc doc;
        image::LoadStatus status{};
        const std::uint32_t count = read_doc(cut, doc, status);
        EXPECT_LE(count, 3u) << n;
        if (n < 8) {
            EXPECT_EQ(text(status.error_text), "Error reading data from file") << n;
        } else if (n < 32) {
            EXPECT_EQ(text(status.error_text), "Invalid VT5 header size") << n;
        } else if (count == 0) {
            EXPECT_FALSE(status.error_text.empty()) << n;
        }
        // Whatever was read whole equals the full read.
        for (std::uint32_t i = 0; i + 1 < count; ++i)
            EXPECT_EQ(pixels_of(doc[i]), pixels_of(full[i])) << n << " layer " << i;
    }
}

// A file of one layer element with the header given and a few stream bytes.
Bytes tiny_file(const Vt5LayerHeader& h) {
    Bytes f = file_header();
    append(f, layer_element(h));
    append(f, block_element({1, 2, 3, 4}));
    append(f, end_element());
    return f;
}

TEST(Vt5Hostile, SizesATinyFileCannotHoldAreRefusedBeforeAllocating) {
    using Case = std::tuple<const char*, Vt5LayerHeader, std::string>;
    auto with = [](std::uint32_t w, std::uint32_t ht, std::uint8_t layout, std::uint8_t ch,
                   std::uint32_t meta = 0) {
        Vt5LayerHeader h = layer_header(w, ht, layout, ch);
        h.meta_length = meta;
        return h;
    };
    Vt5LayerHeader repeat_big = with(16000, 15000, 0, 0);
    repeat_big.frame_type = kFrameRepeat;
    const Case cases[] = {
        {"240 Mpixel, 4 planes", with(16000, 15000, 0, 4), bitmap_error(16000, 15000)},
        {"64k square", with(65536, 65536, 0, 4), bitmap_error(65536, 65536)},
        {"negative as i32", with(0xFFFFFFFF, 1, 1, 1), bitmap_error(-1, 1)},
        {"channels 255 overflow", with(65536, 65536, 0, 255), bitmap_error(65536, 65536)},
        {"repeat of nothing", repeat_big, bitmap_error(16000, 15000)},
        {"metadata of 3 GiB", with(1, 1, 1, 1, 3u << 30),
         "Error creating memory buffers for decompression"},
        {"100 Mpixel grey", with(10000, 10000, 1, 1), bitmap_error(10000, 10000)},
    };
    for (const auto& [what, h, error] : cases) {
        Read doc(tiny_file(h));
        EXPECT_EQ(doc.count, 0u) << what;
        EXPECT_EQ(text(doc.status.error_text), error) << what;
    }
}

TEST(Vt5Hostile, PixelBudgetBoundsAWholeRead) {
    // Many repeats of a layer are honest but add up; the budget stops them.
    Doc src;
    for (int i = 0; i < 10; ++i)
        src.set(static_cast<std::size_t>(i), 256, 256, Pixels(65536, 0x00123456));
    const Bytes file = write_doc(src, 10);
    ReadOptions options;
    options.max_total_pixels = 5 * 65536;
    Doc doc;
    image::LoadStatus status{};
    status.silent = 1;
    EXPECT_EQ(Vt5Read(doc.data(), doc.capacity(), status, file, u"a.vt5", options), 0u);
    EXPECT_EQ(text(status.error_text), bitmap_error(256, 256, 6));
    Doc all;
    EXPECT_EQ(Vt5Read(all.data(), all.capacity(), status, file, u"a.vt5"), 10u);
}

TEST(Vt5Hostile, ManyLayersStopAtTheCapacity) {
    Bytes f = file_header();
    for (int i = 0; i < 3000; ++i) {
        append(f, layer_element(layer_header(1, 1, 1, 1)));
        append(f, block_element({static_cast<std::uint8_t>(i)}));
    }
    Read doc(f, 1024);
    EXPECT_EQ(doc.count, 1024u);
    EXPECT_EQ(doc.status.layer_limit_hit, 1);
    EXPECT_EQ(pixels_of(doc[1023]), Pixels{0x00FFFFFF});
}

TEST(Vt5Hostile, StreamThatSwallowsTheNextLayerStaysBounded) {
    // The first layer wants 8 bytes but has one block of 4: the block reader skips the next
    // layer element looking for more blocks, as the format's own readers do.
    Bytes f = file_header();
    append(f, layer_element(layer_header(2, 2, 1, 2)));
    append(f, block_element({1, 2, 3, 4}));
    append(f, layer_element(layer_header(1, 1, 1, 1)));
    append(f, block_element({9}));
    append(f, end_element());
    Read doc(f);
    EXPECT_EQ(doc.count, 1u);
    EXPECT_EQ(pixels_of(doc[0]), (Pixels{0x09010101, 0x00020202, 0x00030303, 0x00040404}));
}

} // namespace
} // namespace vt::vt5::test
