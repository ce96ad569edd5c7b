// The format catalogue and the plug-in options, asked of a registry whose Plugins folder holds
// test plug-ins that behave well and badly.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths.h"
#include "session/format_catalogue.h"
#include "tests/support/temp_folder.h"

namespace vt::session {
namespace {

constexpr KnownFormat kTestFormats[] = {
    {u".tst", "Test"}, {u".vt5", "Vantrel Image"}, {u".flt", "Flat"}, {u".png", "PNG Image"}};

// A registry of its own whose Plugins folder holds the named test plug-ins.
struct PluginFolder {
    explicit PluginFolder(const std::vector<std::string>& kinds) {
        std::filesystem::create_directories(tmp / "Plugins");
        // Copies: a link that leads out of the Plugins folder is not this installation's.
        for (const std::string& kind : kinds)
            std::filesystem::copy_file(VT_TEST_PLUGINS_DIR "/fmx_Test" + kind + ".so",
                                       tmp / ("Plugins/fmx_Test" + kind + ".so"));
    }
    test::TempFolder tmp;
    plugins::StateStore store{tmp.sub16("state")};
    plugins::FilterRegistry registry{{tmp.sub16("Plugins"), tmp.path16(), &store, {}, {}, {}}};
};

std::string name(const std::u16string& path) {
    return path.empty() ? "-" : test::u8(platform::file_name_of(path));
}

TEST(Catalogue, ListsWhoReadsAndWritesEachFormat) {
    const struct {
        std::vector<std::string> plugins;
        std::vector<std::string> rows; // extension, reader, writer
    } cases[] = {
        {{}, {".vt5 - -"}},
        {{"GOOD"}, {".vt5 - -", ".flt fmx_TestGOOD.so -", ".tst fmx_TestGOOD.so fmx_TestGOOD.so"}},
        // One that claims everything reads nothing, not even what nobody else reads (.png).
        {{"CLAIMALL"}, {".vt5 - -"}},
        {{"CLAIMALL", "SLEEP"}, {".vt5 - -", ".flt fmx_TestSLEEP.so -", ".tst fmx_TestSLEEP.so -"}},
        {{"FLAT"}, {".vt5 - -", ".flt fmx_TestFLAT.so fmx_TestFLAT.so", ".tst fmx_TestFLAT.so -"}},
    };
    for (const auto& c : cases) {
        PluginFolder folder(c.plugins);
        std::vector<std::string> rows;
        for (const FormatEntry& f : format_catalogue(folder.registry, kTestFormats)) {
            EXPECT_EQ(f.built_in, f.extension == u".vt5");
            rows.push_back(test::u8(f.extension) + " " + name(f.reader) + " " + name(f.writer));
        }
        EXPECT_EQ(rows, c.rows) << ::testing::PrintToString(c.plugins);
    }
}

// --list-formats asks every plug-in about every extension: one load each, not one per format.
TEST(Catalogue, ListingLoadsEachPluginOnce) {
    PluginFolder folder({"GOOD", "FLAT"});
    std::filesystem::copy_file(VT_MARKER_LIBRARY, folder.tmp / "Plugins/fmx_Marker.so");
    ::setenv("VT_TEST_MARKER", (folder.tmp / "marker").c_str(), 1);
    const PluginListing listing = list_plugins(folder.registry, kTestFormats);
    ::unsetenv("VT_TEST_MARKER");
    EXPECT_EQ(folder.tmp.read("marker"), "loaded\n");
    EXPECT_EQ(listing.formats.size(), 3u);
    EXPECT_EQ(listing.options.size(), 2u);
}

// Without a single known format to ask about, the plug-ins' own extension tables still give
// every extension they read and write.
TEST(Catalogue, ExtensionsComeFromThePluginsOwnTables) {
    test::TempFolder tmp;
    std::filesystem::create_directories(tmp / "Plugins");
    for (const char* name : {"fmx_ICO.so", "fmx_AVI.so"})
        std::filesystem::copy_file(std::string(VT_PLUGINS_DIR "/") + name,
                                   tmp / ("Plugins/" + std::string(name)));
    plugins::StateStore store{tmp.sub16("state")};
    plugins::FilterRegistry registry{{tmp.sub16("Plugins"), tmp.path16(), &store, {}, {}, {}}};
    std::vector<std::string> rows;
    for (const FormatEntry& f : format_catalogue(registry, {}))
        rows.push_back(test::u8(f.extension) + " " + name(f.reader) + " " + name(f.writer) + " " +
                       f.description);
    const std::vector<std::string> expected = {
        ".vt5 - - Vantrel Image",
        ".avi fmx_AVI.so fmx_AVI.so Video (AVI)",
        ".cur fmx_ICO.so fmx_ICO.so Windows Cursor",
        ".flv fmx_AVI.so - Video (Flash)",
        ".ico fmx_ICO.so fmx_ICO.so Windows Icon",
        ".m4v fmx_AVI.so - Video (MPEG-4)",
        ".mkv fmx_AVI.so - Video (Matroska)",
        ".mov fmx_AVI.so - Video (QuickTime)",
        ".mp4 fmx_AVI.so - Video (MPEG-4)",
        ".mpeg fmx_AVI.so - Video (MPEG)",
        ".mpg fmx_AVI.so - Video (MPEG)",
        ".ogv fmx_AVI.so - Video (Ogg)",
        ".webm fmx_AVI.so - Video (WebM)",
        ".wmv fmx_AVI.so - Video (Windows Media)",
    };
    EXPECT_EQ(rows, expected);
}

TEST(Catalogue, OptionsComeFromThePluginsThatAnswer) {
    PluginFolder folder({"CRASH", "GOOD", "FLAT"}); // crashes when asked; has two; has none
    const std::vector<PluginOption> options = plugin_options(folder.registry);
    ASSERT_EQ(options.size(), 2u);
    EXPECT_EQ(options[0].name + "=" + options[0].default_value + ": " + options[0].meaning,
              "fmx_TestGOOD.level=3: 0 to 9: effort");
    EXPECT_EQ(options[1].name + "=" + options[1].default_value + options[1].meaning,
              "fmx_TestGOOD.note=");
    EXPECT_EQ(name(options[1].plugin), "fmx_TestGOOD.so");
}

TEST(PluginOption, WholeNumbersAreStoredAsInt32AndTheRestAsText) {
    const struct {
        const char* value;
        std::vector<std::uint8_t> stored;
    } cases[] = {
        {"9", {9, 0, 0, 0}},
        {"-2", {0xFE, 0xFF, 0xFF, 0xFF}},
        {"2147483647", {0xFF, 0xFF, 0xFF, 0x7F}},
        {"2147483648", {'2', '1', '4', '7', '4', '8', '3', '6', '4', '8'}},
        {"12ab", {'1', '2', 'a', 'b'}},
        {"", {}}, // removes the entry
    };
    plugins::StateStore store(u"/nonexistent");
    for (const auto& c : cases) {
        set_plugin_option(u"fmx_X.o", "old", store);
        set_plugin_option(u"fmx_X.o", c.value, store);
        std::vector<std::uint8_t> out(16);
        out.resize(static_cast<std::size_t>(store.get(u"fmx_X.o", out)));
        EXPECT_EQ(out, c.stored) << c.value;
    }
}

} // namespace
} // namespace vt::session
