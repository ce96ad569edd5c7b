#include <gtest/gtest.h>

#include "base/fixed_text.h"
#include "base/text.h"
#include "base/utf.h"

namespace vt::base {
namespace {

TEST(FixedText, CutsAtCapacityAndAlwaysEndsInNul) {
    FixedText<5> t(u"abcdefgh");
    EXPECT_EQ(t.view(), u"abcd");
    EXPECT_EQ(t.c_str()[4], u'\0');
    t.assign(u"ab");
    t.append(u"xyz");
    EXPECT_EQ(t.view(), u"abxy");
    t.append(u"more");
    EXPECT_EQ(t.view(), u"abxy");
    t.clear();
    EXPECT_TRUE(t.empty());
}

TEST(FixedText, NeverKeepsHalfASurrogatePair) {
    // U+1F600 is two units; a cut between them would leave an invalid name.
    FixedText<4> t(u"ab\U0001F600");
    EXPECT_EQ(t.view(), u"ab");
    FixedText<5> fits(u"ab\U0001F600");
    EXPECT_EQ(fits.size(), 4u);
}

TEST(Utf, RoundTripsEveryFileNameEvenInvalidUtf8) {
    const std::string names[] = {"plain.jpg",
                                 "Ärger ünd Öl.png",
                                 "日本語.tif",
                                 "emoji \xF0\x9F\x98\x80",
                                 "latin1 \xE9t\xE9.jpg",
                                 "\xFF\xFE",
                                 "cut \xE2\x82",
                                 "over\xC0\xAFlong"};
    for (const auto& name : names)
        EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(name)), name) << name;
    EXPECT_EQ(utf8_to_utf16("\xC3\xA9"), u"\u00E9");
    EXPECT_EQ(utf8_to_utf16("\xF0\x9F\x98\x80"), u"\U0001F600");
    // A lone surrogate that is no escaped byte becomes the replacement character.
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
}

TEST(Text, CaseInsensitiveComparison) {
    EXPECT_TRUE(ascii_iequal(u"Thumbs.DB", u"thumbs.db"));
    EXPECT_FALSE(ascii_iequal(u"ÄB", u"äb"));
    EXPECT_TRUE(iequal(u"ÄRGER.JPG", u"ärger.jpg"));
    EXPECT_TRUE(iequal(u"ΑΒΓ", u"αβγ"));
    EXPECT_TRUE(iequal(u"ФОТО", u"фото"));
    EXPECT_TRUE(iequal(u"ŁÓDŹ", u"łódź"));
    EXPECT_FALSE(iequal(u"a", u"ab"));
    EXPECT_EQ(to_lower(u"IMG_01.PNG"), u"img_01.png");
    EXPECT_EQ(to_upper(u'ÿ'), u'\u0178');
}

TEST(Text, TrimSearchReplace) {
    EXPECT_EQ(trim(u"  a b  "), u"a b");
    EXPECT_EQ(trim(u"   "), u"");
    EXPECT_EQ(trim(u"\\ \tname\r\n", u"\\ \t\r\n"), u"name");
    EXPECT_EQ(find_bounded(u"abcdef", u"de", 5), 3u);
    EXPECT_EQ(find_bounded(u"abcdef", u"de", 4), kNotFound);

    EXPECT_EQ(replace_all(u"aaaa", u"aa", u"b"), u"bb"); // no overlap
    EXPECT_EQ(replace_all(u"a-b-c", u"-", u"--"), u"a--b--c");
    EXPECT_EQ(replace_all(u"abc", u"", u"x"), u"abc");
    EXPECT_EQ(replace_all(u"a b c d", u" ", u"___", 6), u"a___b_");
}

TEST(Text, Numbers) {
    EXPECT_EQ(decimal(0), u"0");
    EXPECT_EQ(decimal(11, 3), u"011");
    EXPECT_EQ(decimal(12345, 3), u"12345");
    EXPECT_EQ(decimal(4294967295u), u"4294967295");
    EXPECT_EQ(decimal_digits(9), 1);
    EXPECT_EQ(decimal_digits(10), 2);
    EXPECT_EQ(format_s(u"Failed while loading %s", u"a.png"), u"Failed while loading a.png");
    EXPECT_EQ(format_s(u"%s and %s", u"x"), u"x and %s");
}

} // namespace
} // namespace vt::base
