#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

#include "image/markup.h"

namespace vt::image {
namespace {

// A markup text in a buffer of fixed capacity.
template <std::size_t N = 256>
struct Text {
    char buf[N] = {};
    explicit Text(const char* s = "") { std::strncpy(buf, s, N - 1); }
    std::string str() const { return buf; }
};

std::string value_of(const char* text, const char* key, std::size_t capacity = 64) {
    std::string value(capacity, '#');
    if (find_markup_value(text, key, value.data(), capacity) == nullptr)
        return "<absent>";
    return value.c_str();
}

TEST(MarkupFind, KeyIsCaseInsensitiveAndTheValueKeepsLeadingBlanks) {
    const char* text = "\r\nEXIF.Make = Canon;\r\nexif.model=EOS;";
    char value[32];
    const char* end = nullptr;
    const char* at = find_markup_value(text, "exif.make", value, sizeof(value), &end);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(at, text + 2);
    EXPECT_STREQ(value, " Canon");
    EXPECT_EQ(*end, ';');
    EXPECT_EQ(value_of(text, "exif.model"), "EOS");
    EXPECT_EQ(value_of(text, "exif.lens"), "<absent>");
}

TEST(MarkupFind, ValueEndsAtSemicolonLineBreakEndOrCapacity) {
    using Row = std::tuple<const char*, const char*>;
    const Row cases[] = {
        {"a=;b=2;", ""},     {"a=1\r\nb=2", "1"}, {"a=1\nb", "1"}, {"a=open end", "open end"},
        {"a\t=tab;", "tab"},
    };
    for (const auto& [text, value] : cases)
        EXPECT_EQ(value_of(text, "a"), value) << text;
    EXPECT_EQ(value_of("a=123456789;", "a", 4), "123");
    EXPECT_EQ(value_of("a 1;", "a"), "<absent>") << "a key without '=' after it has no value";
    EXPECT_EQ(value_of("xa=1;", "", 8), "<absent>");
}

TEST(MarkupFind, SeparatorOrderPrefersEquals) {
    // The "=" form is searched first even when a blank form comes earlier in the text.
    EXPECT_EQ(value_of("k x=1;\r\nk=2;", "k"), "2");
}

TEST(MarkupSet, AppendsToEmptyTextAndToTextEndingInLineBreaks) {
    Text<> empty;
    EXPECT_EQ(set_markup_value(empty.buf, sizeof(empty.buf), "exif.make", "Canon"),
              kMarkupAppended);
    EXPECT_EQ(empty.str(), "\r\nexif.make=Canon;");

    Text<> trailing("\r\na=1;\r\n\r\n");
    EXPECT_EQ(set_markup_value(trailing.buf, sizeof(trailing.buf), "b", "2"), kMarkupAppended);
    EXPECT_EQ(trailing.str(), "\r\na=1;\r\nb=2;");
}

TEST(MarkupSet, ReplacesInPlaceKeepingStoredKeyAndRest) {
    Text<> t("\r\nEXIF.Make =Old value;\r\nb=2;");
    EXPECT_EQ(set_markup_value(t.buf, sizeof(t.buf), "exif.make", "New"), kMarkupReplaced);
    EXPECT_EQ(t.str(), "\r\nEXIF.Make =New;\r\nb=2;");

    Text<> no_semicolon("a=1\r\nb=2;");
    EXPECT_EQ(set_markup_value(no_semicolon.buf, sizeof(no_semicolon.buf), "a", "x"),
              kMarkupReplaced);
    EXPECT_EQ(no_semicolon.str(), "a=x;\r\nb=2;") << "the old value ends where find ends it";

    Text<> at_end("a=1");
    EXPECT_EQ(set_markup_value(at_end.buf, sizeof(at_end.buf), "a", "22"), kMarkupReplaced);
    EXPECT_EQ(at_end.str(), "a=22;");
}

TEST(MarkupSet, WritesAreCutAtTheCapacity) {
    Text<12> t;
    EXPECT_EQ(set_markup_value(t.buf, sizeof(t.buf), "key", "a long value"), kMarkupAppended);
    EXPECT_EQ(t.str(), "\r\nkey=a lon");
    Text<12> r("k=1;rest;");
    EXPECT_EQ(set_markup_value(r.buf, sizeof(r.buf), "k", "12345"), kMarkupReplaced);
    EXPECT_EQ(r.str(), "k=12345;res");
}

TEST(MarkupSet, RefusesBadArguments) {
    Text<> t("a=1;");
    EXPECT_EQ(set_markup_value(nullptr, 10, "a", "b"), 0);
    EXPECT_EQ(set_markup_value(t.buf, 0, "a", "b"), 0);
    EXPECT_EQ(set_markup_value(t.buf, sizeof(t.buf), "", "b"), 0);
    EXPECT_EQ(set_markup_value(t.buf, sizeof(t.buf), std::string(256, 'k'), "b"), 0);
    char unterminated[4] = {'a', '=', '1', ';'};
    EXPECT_EQ(set_markup_value(unterminated, sizeof(unterminated), "a", "b"), 0);
    EXPECT_EQ(t.str(), "a=1;");
}

TEST(MarkupDelete, RemovesOnlyTheWholeKey) {
    Text<> t("\r\nexif.date_time=2020;\r\nexif.date_time_original=2019;\r\nx=1;");
    EXPECT_EQ(delete_markup_entry(t.buf, "exif.date_time"), 1);
    EXPECT_EQ(t.str(), "\r\nexif.date_time_original=2019;\r\nx=1;");
    EXPECT_EQ(delete_markup_entry(t.buf, "exif.date_time"), 0);
    EXPECT_EQ(delete_markup_entry(t.buf, "X=whatever"), 1) << "a key with a value is cut at '='";
    EXPECT_EQ(t.str(), "\r\nexif.date_time_original=2019;\r\n");
    EXPECT_EQ(delete_markup_entry(nullptr, "x"), 0);
}

TEST(MarkupMerge, AddsOnlyMissingKeysWithThePrefix) {
    Text<> dest("\r\nexif.make=First;\r\nimage.bpp=24;");
    const char* source = "\r\nexif.make=Second;\r\nEXIF.model=M;\r\nimage.ppi=72 72;\r\n  x";
    EXPECT_EQ(merge_markup_entries(dest.buf, sizeof(dest.buf), source, "exif."), 1);
    EXPECT_EQ(dest.str(), "\r\nexif.make=First;\r\nimage.bpp=24;\r\nEXIF.model=M;");
    EXPECT_EQ(merge_markup_entries(dest.buf, sizeof(dest.buf), source, ""), 1);
    EXPECT_EQ(value_of(dest.buf, "image.ppi"), "72 72");
    EXPECT_EQ(merge_markup_entries(nullptr, 1, source, ""), 0);
}

TEST(MarkupText, TrimBitDepthAndRationals) {
    Text<> t(" \t\r\na=1;\r\n ");
    EXPECT_EQ(trim_markup(t.buf), 1);
    EXPECT_EQ(t.str(), "a=1;");
    Text<> blank(" \r\n");
    trim_markup(blank.buf);
    EXPECT_EQ(blank.str(), "");

    EXPECT_EQ(markup_bit_depth("\r\nimage.bpp=24;"), 24u);
    EXPECT_EQ(markup_bit_depth("image.bpp=RGB 32 bit;"), 32u);
    EXPECT_EQ(markup_bit_depth("exif.make=x;"), 0u);

    double v = -1;
    EXPECT_EQ(parse_rational("28/10", &v), 1);
    EXPECT_DOUBLE_EQ(v, 2.8);
    EXPECT_EQ(parse_rational("  -1/ 4 sec", &v), 1);
    EXPECT_DOUBLE_EQ(v, -0.25);
    EXPECT_EQ(parse_rational("5.6", &v), 0);
    EXPECT_DOUBLE_EQ(v, 5.6) << "no '/': the leading number stays in the result";
    EXPECT_EQ(parse_rational("f/", &v), 0);
    EXPECT_EQ(v, 0.0);
    EXPECT_EQ(parse_rational(nullptr, &v), 0);
}

} // namespace
} // namespace vt::image
