// Names in records that must stay on one line, or valid UTF-8.

#include <gtest/gtest.h>

#include "base/escape.h"
#include "base/utf.h"

namespace vt::base {
namespace {

// A file name may hold a line end or a terminal's escape: a stderr record stays one line and
// shows it escaped, and every other name comes out as it is.
TEST(OneLineText, EscapesWhatWouldBreakTheLineOrDriveTheTerminal) {
    const struct {
        std::string name, shown;
    } rows[] = {
        {"two\nlines.jpg", "two\\nlines.jpg"},
        {"cr\rtab\t.jpg", "cr\\rtab\\t.jpg"},
        {"bell\x07 esc\x1b[31m.jpg", "bell\\x07 esc\\x1b[31m.jpg"},
        {"del\x7f.jpg", "del\\x7f.jpg"},
        {"csi\xc2\x9b.jpg", "csi\\x9b.jpg"},      // U+009B, a C1 control
        {"raw\xff\xfe.jpg", "raw\\xff\\xfe.jpg"}, // bytes that are not UTF-8
        {"back\\slash.jpg", "back\\\\slash.jpg"},
        {"\xc3\xa9t\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80.jpg",
         "\xc3\xa9t\xc3\xa9 \xe6\xbc\xa2 \xf0\x9f\x98\x80.jpg"},
        {"plain name (1).jpg", "plain name (1).jpg"},
    };
    for (const auto& r : rows) {
        const std::string shown = one_line_text(utf8_to_utf16(r.name));
        EXPECT_EQ(shown, r.shown);
        for (const char c : shown)
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << shown;
        EXPECT_FALSE(has_undecodable_bytes(utf8_to_utf16(shown))) << shown;
    }
}

TEST(HexBytes, GiveBackTheExactNameAndRefuseWhatIsNotHex) {
    for (const std::string name : {"", "a", "caf\xe9", "\xff\xfe\n", "\xc3\xa9"}) {
        const std::u16string text = utf8_to_utf16(name);
        EXPECT_EQ(from_hex_bytes(hex_bytes(text)), text);
    }
    EXPECT_EQ(hex_bytes(utf8_to_utf16("A\xff")), "41ff");
    for (const char* bad : {"4", "4g", "zz", "41 f"})
        EXPECT_FALSE(from_hex_bytes(bad)) << bad;
}

TEST(JsonEscape, IsValidUtf8WhateverTheName) {
    const std::u16string name = utf8_to_utf16("a\xff\"\\\n\x01.jpg");
    EXPECT_EQ(json_escape(name), "a\\ufffd\\\"\\\\\\n\\u0001.jpg");
    EXPECT_TRUE(has_undecodable_bytes(name));
    EXPECT_FALSE(has_undecodable_bytes(u"\U0001F600"));
}

TEST(Utf8Fitting, CutsWholeCharactersAndCountsRawBytesAsOne) {
    const std::u16string text = utf8_to_utf16("a\xc3\xa9\xf0\x9f\x98\x80\xff");
    EXPECT_EQ(utf8_size(text), 1u + 2 + 4 + 1);
    const std::size_t fits[] = {0, 1, 1, 2, 2, 2, 2, 4, 5};
    for (std::size_t bytes = 0; bytes < std::size(fits); ++bytes)
        EXPECT_EQ(utf8_fitting_units(text, bytes), fits[bytes]) << bytes;
}

} // namespace
} // namespace vt::base
