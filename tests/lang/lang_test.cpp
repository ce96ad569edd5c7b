#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/le.h"
#include "base/utf.h"
#include "lang/language_table.h"
#include "lang/text_decode.h"
#include "lang/translator.h"
#include "lang/xlat.h"
#include "platform/files.h"
#include "plugins/host_services.h"
#include "tests/support/temp_folder.h"

namespace vt::lang {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// --- Decoding

struct DecodeRow {
    const char* name;
    std::string bytes;
    std::u16string text;
};

TEST(TextDecode, ByteOrderMarksAndZeroStatistics) {
    using namespace std::string_literals;
    const DecodeRow rows[] = {
        {"utf32le", "\xFF\xFE\0\0A\0\0\0\x3D\xD8\x01\0"s, u"A\xD83D"},
        {"utf32be", "\xFE\xFF\0\0\0\0\0A\0\x01\xD8\x3D"s, u"A\xD83D"},
        {"utf16le", "\xFF\xFE\xE9\0x\0y"s, u"\xE9x"},
        {"utf16be", "\xFE\xFF\0\xE9\0x"s, u"\xE9x"},
        {"utf8 mark", "\xEF\xBB\xBF\xC3\xA9\xFFz"s, u"\xE9\xFFFDz"},
        {"utf16le by zeros", "O\0p\0e\0n\0=\0\xE9\0"s, u"Open=\xE9"},
        {"utf16be by zeros", "\0O\0p\0e\0n\0=\0\xE9"s, u"Open=\xE9"},
        {"utf8 without mark", "caf\xC3\xA9 \xF0\x9F\x98\x80"s, u"caf\xE9 \xD83D\xDE00"},
        {"invalid utf8 is latin1", "caf\xE9 \xC0\x80"s, u"caf\xE9 \xC0\x80"},
        {"line ends", "a\r\nb\rc\n\r\nd"s, u"a\nb\nc\n\nd"},
        {"nul ends the text", "abcdefghijklmnop\0rest"s, u"abcdefghijklmnop"},
        {"empty", ""s, u""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(decode_text_file(bytes_of(row.bytes)), row.text) << row.name;
}

TEST(TextDecode, EightBitWhenZerosAreUnderAnEighth) {
    // 16 nonzero bytes: 1 zero is 8-bit, 2 zeros (2 * 8 = 16) are not. Fewer than 8 nonzero
    // bytes: 8-bit while the zeros are fewer than them.
    const std::pair<std::string, TextEncoding> rows[] = {
        {std::string(16, 'a') + std::string(1, '\0'), TextEncoding::utf8_or_latin1},
        {std::string(16, 'a') + std::string(2, '\0'), TextEncoding::utf16le},
        {std::string("\0a", 2) + std::string(14, 'a') + std::string(1, '\0'),
         TextEncoding::utf16be},
        {std::string("abc\0\0", 5), TextEncoding::utf8_or_latin1},
        {std::string("ab\0\0", 4), TextEncoding::utf16le},
        // Only the first 256 bytes count.
        {std::string(256, 'a') + std::string(100, '\0'), TextEncoding::utf8_or_latin1},
    };
    for (const auto& [bytes, encoding] : rows)
        EXPECT_EQ(detect_encoding(bytes_of(bytes)), encoding) << bytes.size();
}

// --- The table

struct ParseRow {
    const char* name;
    std::u16string text;
    std::vector<std::pair<std::u16string, std::u16string>> entries;
    std::u16string code;
};

TEST(LanguageTable, EntryRules) {
    const ParseRow rows[] = {
        {"code and entry",
         u"#CODE = fr \n#XLAT_BEGIN\nOpen=Ouvrir\n",
         {{u"Open", u"Ouvrir"}},
         u"fr"},
        {"code too long", u"#CODE=abcdefgh\n#XLAT_BEGIN\n", {}, u""},
        {"code too short", u"#CODE=x\n#XLAT_BEGIN\n", {}, u""},
        {"trimmed",
         u"#XLAT_BEGIN\n \t Open file \t= Ouvrir le fichier \t\n",
         {{u"Open file", u"Ouvrir le fichier"}},
         u""},
        {"value cut at =", u"#XLAT_BEGIN\na b=c d=e\n", {{u"a b", u"c d"}}, u""},
        {"leading = skipped",
         u"#XLAT_BEGIN\n==Save=Enregistrer\n",
         {{u"Save", u"Enregistrer"}},
         u""},
        {"empty parts and no =", u"#XLAT_BEGIN\nkey=\n= value\nno equals\n=\n", {}, u""},
        {"marker line skipped", u"junk #XLAT_BEGIN x=y\nk=v\n", {{u"k", u"v"}}, u""},
        {"end marker", u"#XLAT_BEGIN\nk=v\n-- #XLAT_END --\nx=y\n", {{u"k", u"v"}}, u""},
        {"short last line", u"#XLAT_BEGIN\nk=v\na=b", {{u"k", u"v"}}, u""},
        {"short last line with feed",
         u"#XLAT_BEGIN\nk=v\na=b\n",
         {{u"k", u"v"}, {u"a", u"b"}},
         u""},
        {"duplicates kept", u"#XLAT_BEGIN\nk=1\nk=2\n", {{u"k", u"1"}, {u"k", u"2"}}, u""},
    };
    for (const auto& row : rows) {
        const auto table = LanguageTable::parse(row.text);
        ASSERT_TRUE(table) << row.name;
        EXPECT_EQ(table->code(), row.code) << row.name;
        ASSERT_EQ(table->size(), row.entries.size()) << row.name;
        for (std::size_t i = 0; i < row.entries.size(); ++i) {
            EXPECT_EQ(table->key(i), row.entries[i].first) << row.name;
            EXPECT_EQ(table->value(i), row.entries[i].second) << row.name;
        }
    }
    EXPECT_FALSE(LanguageTable::parse(u"#XLAT_BEGI\nk=v\n"));
}

TEST(LanguageTable, Limits) {
    std::u16string text =
        u"#XLAT_BEGIN\n" + std::u16string(5000, u'k') + u"=" + std::u16string(5000, u'v') + u"\n";
    for (int i = 0; i < 33000; ++i)
        text += u"e=v\n";
    const auto table = LanguageTable::parse(text);
    ASSERT_TRUE(table);
    EXPECT_EQ(table->size(), kMaxEntries);
    EXPECT_EQ(table->key(0).size(), kMaxEntryChars);
    EXPECT_EQ(table->value(0).size(), kMaxEntryChars);
}

// --- Translation

constexpr std::string_view kFrench = "\xEF\xBB\xBF#CODE=fr\r\n#XLAT_BEGIN\r\n"
                                     "Open file=Ouvrir le fichier\r\n"
                                     "Open=Ouvrir\r\n"
                                     "Save=Enregistrer\r\n"
                                     "Save as=Enregistrer sous\r\n"
                                     "file=fichier\r\n"
                                     "close=fermer\r\n"
                                     "exit=Quitter\r\n"
                                     "Done=Fini\r\n"
                                     "Next step=\xC3\x89tape suivante\r\n"
                                     "Done. Next step=WRONG\r\n"
                                     "Fetc. Next step=WRONG\r\n"
                                     "See etc. For=Voir etc. Pour\r\n"
                                     "Save as VT5 file=WRONG\r\n"
                                     "VT5=WRONG\r\n"
                                     "VT5s=fichiers-VT5\r\n"
                                     "Ctrl+O=Strg+O\r\n"
                                     "#XLAT_END\r\n";

class Translation : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(load_language_bytes(bytes_of(kFrench), 1), 1); }
    void TearDown() override { UnloadLanguageFile(); }
};

TEST_F(Translation, WorkedExamples) {
    const std::pair<std::u16string, std::u16string> rows[] = {
        {u"Open file", u"Ouvrir le fichier"},
        {u"Open files", u"Ouvrir files"},
        {u"  Save!", u"  Enregistrer!"},
        {u"Close", u"Fermer"},
        {u"CLOSE", u"FERMER"},
        {u"close", u"fermer"},
        {u"EXIT", u"Quitter"}, // a value with a capital is used as it is
        {u"Done. Next step", u"Fini. \xC9tape suivante"},
        {u"Fetc. Next step", u"Fetc. \xC9tape suivante"}, // "etc." inside a word ends a sentence
        {u"See etc. For", u"Voir etc. Pour"},
        {u"Save as VT5 file", u"Enregistrer sous VT5 fichier"},
        {u"Open VT5s", u"Ouvrir fichiers-VT5"}, // a name inside a word is not protected
        {u"Vantrel Converter: Open", u"Vantrel Converter: Ouvrir"},
        {u"Open\nSave\tfile", u"Ouvrir\nEnregistrer\tfichier"},
        {u"Open, file", u"Ouvrir, fichier"},
        {u"123 !", u"123 !"},
        {u"-x", u"-x"}, // the only letter is the last character
    };
    for (const auto& [in, out] : rows)
        EXPECT_EQ(Translate(in), out) << base::utf16_to_utf8(in);
    EXPECT_EQ(language_code(), u"fr");
}

TEST_F(Translation, BuffersCapacityAndLongTexts) {
    char16_t buffer[32] = u"Open file";
    EXPECT_EQ(TranslateText(buffer, 32, buffer), 1); // in place
    EXPECT_EQ(std::u16string(buffer), u"Ouvrir le fichier");
    EXPECT_EQ(TranslateText(buffer, 7, u"Open file"), 1);
    EXPECT_EQ(std::u16string(buffer), u"Ouvrir");
    EXPECT_EQ(TranslateText(nullptr, 0, nullptr), 1);
    EXPECT_EQ(IsTranslationActive(), 1);

    const std::u16string long_text = u"Open " + std::u16string(kMaxTranslatedChars, u'x');
    std::u16string out(kMaxTranslatedChars + 16, u'\0');
    EXPECT_EQ(TranslateText(out.data(), out.size(), long_text.c_str()), 0);
    EXPECT_EQ(std::u16string(out.c_str()), long_text.substr(0, out.size() - 1));

    UnloadLanguageFile();
    EXPECT_EQ(TranslateText(buffer, 32, u"Open"), 0);
    EXPECT_EQ(std::u16string(buffer), u"Open");
    EXPECT_EQ(IsTranslationActive(), 0);
    EXPECT_EQ(TranslateSegment(u"Open"), u"Open");
}

struct FakeMenu : MenuText {
    std::vector<std::u16string> items;
    std::vector<FakeMenu*> subs;
    std::size_t item_count() const override { return items.size(); }
    std::u16string item_text(std::size_t i) const override { return items[i]; }
    void set_item_text(std::size_t i, std::u16string_view t) override { items[i] = t; }
    MenuText* submenu(std::size_t i) override { return i < subs.size() ? subs[i] : nullptr; }
};

struct FakeWindow : WindowText {
    explicit FakeWindow(std::u16string t, FakeMenu* m = nullptr, std::vector<FakeWindow*> c = {})
        : own(std::move(t)), bar(m), children(std::move(c)) {}
    std::u16string own;
    FakeMenu* bar;
    std::vector<FakeWindow*> children;
    int sets = 0;
    std::u16string text() const override { return own; }
    int set_text(std::u16string_view t) override {
        own = t;
        ++sets;
        return 1;
    }
    MenuText* menu() override { return bar; }
    std::size_t child_count() const override { return children.size(); }
    WindowText* child(std::size_t i) override { return children[i]; }
};

TEST_F(Translation, MenusLoseMnemonicsAndKeepLiteralAmpersands) {
    FakeMenu file, bar;
    file.items = {u"&Open\tCtrl+O", u"Save && E&xit", u"", u"&Close"};
    bar.items = {u"&File"};
    bar.subs = {&file};
    FakeWindow grandchild(u"Save"), child(u"Open", nullptr, {&grandchild}), same(u"12");
    FakeWindow window(u"Open file", &bar, {&child, &same});
    EXPECT_EQ(TranslateWindow(window), 1);
    EXPECT_EQ(file.items, (std::vector<std::u16string>{u"Ouvrir\tStrg+O", u"Enregistrer && Quitter",
                                                       u"", u"Fermer"}));
    EXPECT_EQ(bar.items[0], u"Fichier");
    EXPECT_EQ(window.own, u"Ouvrir le fichier");
    EXPECT_EQ(child.own, u"Ouvrir");
    EXPECT_EQ(grandchild.own, u"Enregistrer");
    EXPECT_EQ(same.sets, 0);

    UnloadLanguageFile();
    EXPECT_EQ(TranslateMenu(file), -1);
    EXPECT_EQ(TranslateWindow(window), -1);
    EXPECT_EQ(XlatSetWindowText(window, u"Open"), 1);
    EXPECT_EQ(window.own, u"Open");
}

TEST_F(Translation, OpenFileDialogSeesTranslatedTitleAndDescriptions) {
    static OpenFileRequest seen;
    set_window_hooks({nullptr, [](OpenFileRequest& r) {
                          seen = r;
                          r.file_name = u"/p/a.png", r.filter_index = 2, r.file_offset = 3,
                          r.extension_offset = 5;
                          return 1;
                      }});
    OpenFileRequest request;
    request.title = u"Open file";
    request.filters = {{u"Save", u"*.Save"}, {u"file", u"*.*"}};
    EXPECT_EQ(XlatGetOpenFileName(request), 1);
    set_window_hooks({});
    EXPECT_EQ(seen.title, u"Ouvrir le fichier");
    EXPECT_EQ(seen.filters[0].description, u"Enregistrer");
    EXPECT_EQ(seen.filters[0].patterns, u"*.Save");
    EXPECT_EQ(request.title, u"Open file");
    EXPECT_EQ(request.file_name, u"/p/a.png");
    EXPECT_EQ(request.filter_index, 2u);
    EXPECT_EQ(request.extension_offset, 5);
}

TEST_F(Translation, PluginServiceTranslates) {
    const pi_BasicUtils* utils = plugins::basic_utils_table();
    std::uint16_t out[16] = {};
    const auto* in = reinterpret_cast<const std::uint16_t*>(u"Open");
    EXPECT_GT(utils->translate_text(in, out, 16), 0);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out)), u"Ouvrir");
    EXPECT_EQ(utils->translate_text(nullptr, nullptr, 0), 1); // is translation active
    EXPECT_EQ(utils->translate_window(0), 1);
    UnloadLanguageFile();
    EXPECT_EQ(utils->translate_window(0), -1);
    EXPECT_EQ(utils->translate_text(in, out, 3), 2);
    EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(out)), u"Op");
}

TEST_F(Translation, WorkersTranslateWhileTheLanguageReloads) {
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    {
        std::vector<std::jthread> workers;
        for (int i = 0; i < 3; ++i)
            workers.emplace_back([&] {
                while (!stop) {
                    const std::u16string t = Translate(u"Open file");
                    wrong += t != u"Ouvrir le fichier" && t != u"Open file";
                }
            });
        for (int i = 0; i < 200; ++i)
            i % 2 ? UnloadLanguageFile() : (void)load_language_bytes(bytes_of(kFrench), 1);
        stop = true;
    }
    EXPECT_EQ(wrong, 0);
}

// --- The configured file

TEST(LanguageFile, LoadedFromTheConfigurationAndWatchedForChanges) {
    const test::TempFolder root;
    ::setenv("VANTREL_DATA_ROOT", root.path().c_str(), 1);
    const auto configure = [&](std::u16string_view name) {
        std::string record(platform::kSuiteConfigSize, '\0');
        auto* p = reinterpret_cast<std::uint8_t*>(record.data());
        base::store_le32(p + 4, platform::kSuiteConfigSize);
        for (std::size_t i = 0; i < name.size(); ++i)
            base::store_le16(p + 256 + 2 * i, name[i]);
        root.write("suite_config.bin", record);
    };
    root.write("Language/French.lng", kFrench);
    const std::u16string file = root.sub16("Language/French.lng");

    configure(u"Fr"); // fewer than 4 characters: no language
    EXPECT_EQ(LoadLanguageFile(), 0);
    configure(u"Missing.lng");
    EXPECT_EQ(LoadLanguageFile(), 0);
    configure(u"French.lng");
    ASSERT_EQ(LoadLanguageFile(), 1);
    EXPECT_EQ(Translate(u"Open"), u"Ouvrir");
    EXPECT_EQ(LanguageFileChanged(), 0);
    ASSERT_TRUE(platform::set_last_write_time(file, 1'000'000'000));
    EXPECT_EQ(LanguageFileChanged(), 1);
    UnloadLanguageFile();
    EXPECT_EQ(Translate(u"Open"), u"Open");
    ::unsetenv("VANTREL_DATA_ROOT");
}

// Every entry of a shipped file is reachable: a key that ends in punctuation or holds a protected
// name can never match, since a text loses its letterless ends and is cut at those names first.
TEST(LanguageFile, EveryShippedEntryTranslatesItsOwnKey) {
    std::ifstream in(VT_SOURCE_DIR "/lang/files/German.lng", std::ios::binary);
    ASSERT_TRUE(in);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    ASSERT_EQ(load_language_bytes(bytes_of(bytes), 1), 1);
    std::istringstream lines(bytes);
    bool inside = false;
    int entries = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find("#XLAT_") != std::string::npos) {
            inside = line.find("#XLAT_BEGIN") != std::string::npos;
            continue;
        }
        const std::size_t eq = line.find(" = ");
        if (!inside || eq == std::string::npos)
            continue;
        const std::u16string key = base::utf8_to_utf16(line.substr(0, eq));
        std::string value = line.substr(eq + 3);
        value.erase(value.find_last_not_of(" \r") + 1);
        EXPECT_EQ(Translate(key), base::utf8_to_utf16(value)) << line;
        ++entries;
    }
    EXPECT_GT(entries, 100);
    UnloadLanguageFile();
}

} // namespace
} // namespace vt::lang
