#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "gfxcore/runtime.h"
#include "platform/files.h"
#include "plugins/filter_registry.h"
#include "plugins/load_save.h"
#include "tests/support/temp_folder.h"

#ifndef VT_TEST_PLUGIN
#error "VT_TEST_PLUGIN names a loadable library built for the tests"
#endif

namespace vt::plugins {
namespace {

using test::TempFolder;
constexpr platform::TimeStamp kMs = 1000000ull;

class RegistryTest : public ::testing::Test {
protected:
    FilterRegistry::Options options() {
        FilterRegistry::Options o;
        o.plugins_folder = tmp.sub16("Plugins");
        o.data_root = tmp.path16();
        o.store = &store;
        o.hours = [this] { return hour; };
        o.clock = [this] { return clock; };
        o.power = [this] { return power; };
        return o;
    }
    void plugin(const std::string& rel) { tmp.write("Plugins/" + rel, "lib"); }

    TempFolder tmp;
    StateStore store{tmp.sub16("Plugins")};
    std::uint32_t hour = 3'600'000;
    platform::TimeStamp clock = 1000 * kMs;
    platform::PowerStatus power;
};

TEST_F(RegistryTest, DefaultMapHas46RowsWithPathsFoundUpToTwoLevelsDown) {
    for (const char* rel : {"fmx_PNG.so", "codecs/fmx_JPEG.so", "a/b/fmx_RAW.so",
                            "a/b/c/fmx_GIF.so"}) // three levels: too deep
        plugin(rel);
    RegistryBlock block;
    block.reset_to_defaults(tmp.sub16("Plugins"));
    EXPECT_TRUE(block.has_magic());
    const std::pair<std::u16string, std::u16string> rows[] = {
        {u".bmp", u""},
        {u".jpg", tmp.sub16("Plugins/codecs/fmx_JPEG.so")},
        {u".gif", u""},
        {u".png", tmp.sub16("Plugins/fmx_PNG.so")}};
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(std::pair(block.extension(i), block.path(i)), rows[i]) << i;
    EXPECT_EQ(block.extension(28), u".dng");
    EXPECT_EQ(block.path(28), tmp.sub16("Plugins/a/b/fmx_RAW.so"));
    EXPECT_EQ(block.extension(45), u".mfw");
    EXPECT_TRUE(block.in_use(45));
    EXPECT_FALSE(block.in_use(46));
    // The on-disk form: magic, stamp, then the first entry's extension in UTF-16.
    EXPECT_EQ(std::string(block.bytes().begin(), block.bytes().begin() + 4), "fp$_");
    EXPECT_EQ(std::string(block.bytes().begin() + 16, block.bytes().begin() + 20),
              std::string(".\0b\0", 4));
    EXPECT_EQ(kRegistryBytes, 71688u);
}

TEST_F(RegistryTest, JpgIsFoundInAnyCaseAndNeverChanges) {
    plugin("fmx_JPEG.so");
    FilterRegistry registry(options());
    const auto jpeg = registry.look_up(RegistryKind::load, u".JPG");
    ASSERT_TRUE(jpeg);
    EXPECT_EQ(*jpeg, tmp.sub16("Plugins/fmx_JPEG.so"));
    registry.remember(RegistryKind::load, u".jpg", u"/elsewhere/fmx_Other.so");
    registry.remember(RegistryKind::load, u".JPG", u"/elsewhere/fmx_Other.so");
    EXPECT_EQ(*registry.look_up(RegistryKind::load, u".jpg"), *jpeg);
    EXPECT_FALSE(registry.look_up(RegistryKind::load, u".nothing"));
    // The kinds are separate registries.
    registry.remember(RegistryKind::save, u".png", u"/p/fmx_X.so");
    EXPECT_EQ(*registry.look_up(RegistryKind::save, u".PNG"), u"/p/fmx_X.so");
    EXPECT_EQ(*registry.look_up(RegistryKind::load, u".png"), u"");
}

TEST_F(RegistryTest, OnlyPluginsOfThisInstallationAreInstalledHere) {
    // The data root is shared by every installation of the user; a path another one remembered
    // must not be loaded by this one.
    plugin("fmx_PNG.so");
    plugin("codecs/fmx_JPEG.so");
    tmp.write("Plugins2/fmx_PNG.so");
    const FilterRegistry registry(options());
    const std::u16string folder = tmp.sub16("Plugins");
    EXPECT_TRUE(registry.installed_here(folder + u"/fmx_PNG.so"));
    EXPECT_TRUE(registry.installed_here(folder + u"/codecs/fmx_JPEG.so"));
    for (const std::u16string& other :
         {std::u16string(u"/opt/other/Plugins/fmx_PNG.so"), folder + u"2/fmx_PNG.so", folder,
          folder + u"/", folder + u"/codecs/../fmx_PNG.so", folder + u"/missing.so",
          std::u16string()})
        EXPECT_FALSE(registry.installed_here(other)) << test::u8(other);

    // An entry another installation made stands for this one's plug-in of that name.
    FilterRegistry shared(options());
    shared.remember(RegistryKind::save, u".png", u"/opt/other/Plugins/fmx_PNG.so");
    shared.remember(RegistryKind::save, u".tga", u"/opt/other/Plugins/fmx_TGA.so");
    EXPECT_EQ(shared.look_up(RegistryKind::save, u".png"), folder + u"/fmx_PNG.so");
    EXPECT_EQ(shared.look_up(RegistryKind::save, u".tga"), u"/opt/other/Plugins/fmx_TGA.so");
}

// A fresh copy of the marker library at `rel` in the test folder: loading it runs its
// constructor, which leaves the file "marker".
class OutsideCodeTest : public RegistryTest {
protected:
    void SetUp() override {
        char16_t why[128];
        ASSERT_TRUE(gfx::EngineStartup(why, 128));
        ::setenv("VT_TEST_MARKER", (tmp / "marker").c_str(), 1);
    }
    void TearDown() override {
        ::unsetenv("VT_TEST_MARKER");
        gfx::EngineShutdown();
    }
    void marker_library(const std::string& rel) {
        std::filesystem::create_directories(std::filesystem::path(tmp / rel).parent_path());
        std::filesystem::copy_file(VT_MARKER_LIBRARY, tmp / rel);
    }
    std::uint32_t load(FilterRegistry& registry) {
        auto layers = std::make_unique<Layer[]>(8);
        std::memset(layers.get(), 0, sizeof(Layer) * 8);
        LoadStatus status;
        return load_image(tmp.sub16("a.tst"), layers.get(), 8, status, registry);
    }
};

TEST_F(OutsideCodeTest, RememberedPathsLeadingOutOfThePluginsFolderAreNeverLoaded) {
    marker_library("elsewhere/fmx_Evil.so");
    std::filesystem::create_directories(tmp / "Plugins/sub");
    std::filesystem::create_symlink(tmp / "elsewhere/fmx_Evil.so", tmp / "Plugins/fmx_Link.so");
    std::filesystem::create_directory_symlink(tmp / "elsewhere", tmp / "Plugins/linked");
    tmp.write("a.tst", "TST1 a picture nobody reads");
    FilterRegistry registry(options());
    const std::u16string plugins = tmp.sub16("Plugins");
    for (const std::u16string& path :
         {plugins + u"/../elsewhere/fmx_Evil.so", plugins + u"/sub/../../elsewhere/fmx_Evil.so",
          plugins + u"/fmx_Link.so", plugins + u"/linked/fmx_Evil.so"}) {
        registry.remember(RegistryKind::load, u".tst", path);
        ASSERT_EQ(registry.look_up(RegistryKind::load, u".tst"), path);
        EXPECT_EQ(load(registry), 0u);
        EXPECT_FALSE(tmp.exists("marker")) << test::u8(path) << " was loaded";
    }
    // Neither link is in the plug-in list, which the load asked when the remembered one failed.
    EXPECT_TRUE(registry.plugin_list().empty());

    // The marker works: a copy inside the folder is listed, asked, and so loaded.
    marker_library("Plugins/fmx_Real.so");
    FilterRegistry fresh(options());
    EXPECT_EQ(fresh.plugin_list(), std::vector<std::u16string>{plugins + u"/fmx_Real.so"});
    EXPECT_EQ(load(fresh), 0u);
    EXPECT_TRUE(tmp.exists("marker"));
}

// The blacklist only hides plug-ins, but a foreign one is not the user's word either.
TEST_F(RegistryTest, BlacklistThatIsNotTheUsersAloneIsIgnored) {
    plugin("fmx_PNG.so");
    const std::string list = tmp / "plugin_blacklist.txt";
    const struct {
        const char* name;
        void (*make)(const std::string& list);
        bool counts;
    } cases[] = {
        {"ours", [](const std::string&) {}, true},
        {"group may write", [](const std::string& l) { ::chmod(l.c_str(), 0620); }, false},
        {"others may write", [](const std::string& l) { ::chmod(l.c_str(), 0602); }, false},
        {"another owner's", [](const std::string& l) { (void)!::chown(l.c_str(), 65534, 65534); },
         false},
        {"its folder others may write",
         [](const std::string& l) {
             ::chmod(std::filesystem::path(l).parent_path().c_str(), 0777);
         },
         false},
    };
    for (const auto& c : cases) {
        if (std::string(c.name) == "another owner's" && ::geteuid() != 0)
            continue;
        ::chmod(tmp.path().c_str(), 0700);
        std::filesystem::remove(list);
        tmp.write("plugin_blacklist.txt", test::u8(tmp.sub16("Plugins/fmx_PNG.so")));
        ::chmod(list.c_str(), 0600);
        c.make(list);
        FilterRegistry registry(options());
        EXPECT_EQ(registry.is_blacklisted(tmp.sub16("Plugins/fmx_PNG.so")), c.counts) << c.name;
        EXPECT_EQ(registry.plugin_list().size(), c.counts ? 0u : 1u) << c.name;
    }
    ::chmod(tmp.path().c_str(), 0700);
}

TEST_F(RegistryTest, RememberStoresLowerCaseAndAgesOtherEntries) {
    FilterRegistry registry(options());
    ASSERT_TRUE(registry.start());
    registry.remember(RegistryKind::load, u".HEIC", u"/p/fmx_HEIF.so");
    ASSERT_TRUE(registry.look_up(RegistryKind::load, u".heic"));
    (void)registry.look_up(RegistryKind::load, u".bmp");
    (void)registry.look_up(RegistryKind::load, u".bmp");
    registry.start(); // counted: only the last stop writes
    registry.stop();
    EXPECT_EQ(store.file_size(registry_state_name(RegistryKind::load)), 0);
    registry.stop(); // written with the current hour
    RegistryBlock on_disk;
    store.file_read(registry_state_name(RegistryKind::load), on_disk.bytes());
    EXPECT_EQ(on_disk.stamp(), hour);
    EXPECT_EQ(on_disk.extension(46), u".heic");
    EXPECT_EQ(std::tuple(on_disk.age(46), on_disk.age(0), on_disk.age(1)), std::tuple(2, 0, 3));
}

TEST_F(RegistryTest, FullRegistryEvictsTheOldestButNeverSlotZero) {
    RegistryBlock block;
    block.reset_to_defaults(u"/none");
    for (std::size_t i = 46; i < kRegistryEntries; ++i)
        block.set_entry(i, u".x" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)), u"");
    EXPECT_EQ(slot_for_new_extension(block), 127u); // every age 0
    block.set_age(0, 99);
    block.set_age(5, 7);
    block.set_age(60, 7);
    EXPECT_EQ(slot_for_new_extension(block), 60u); // ties go to the higher slot
    block.set_entry(3, u"", u"");
    EXPECT_EQ(slot_for_new_extension(block), 3u); // a free slot first
    EXPECT_EQ(slot_for_new_extension(RegistryBlock{}), 0u);
}

TEST_F(RegistryTest, RegistryFromAnotherHourIsIgnored) {
    {
        FilterRegistry registry(options());
        registry.start();
        registry.remember(RegistryKind::load, u".qoi", u"/p/fmx_QOI.so");
        registry.stop();
    }
    {
        FilterRegistry same_hour(options());
        same_hour.start();
        EXPECT_TRUE(same_hour.look_up(RegistryKind::load, u".qoi"));
    }
    ++hour; // written at 10:59, read at 11:00
    FilterRegistry next_hour(options());
    next_hour.start();
    EXPECT_FALSE(next_hour.look_up(RegistryKind::load, u".qoi"));
    EXPECT_TRUE(next_hour.look_up(RegistryKind::load, u".bmp")); // defaults again
}

TEST_F(RegistryTest, ScanFindsLibrariesFiveLevelsDownAndSkipsTheVideoFilter) {
    for (const char* rel :
         {"fmx_PNG.so", "fmx_dshow.SO", "FMX_DSHOW.so", "Thumbs.db", "readme.txt",
          "vendor/fmx_HEIF.SO", "1/2/3/4/5/fmx_Deep.so", "1/2/3/4/5/6/fmx_TooDeep.so"})
        plugin(rel);
    FilterRegistry registry(options());
    ASSERT_EQ(registry.refresh_plugin_list(), 3u);
    std::set<std::u16string> found;
    for (std::size_t i = 0; i < 3; ++i)
        found.insert(registry.plugin_path(i));
    EXPECT_EQ(found, (std::set<std::u16string>{tmp.sub16("Plugins/fmx_PNG.so"),
                                               tmp.sub16("Plugins/vendor/fmx_HEIF.SO"),
                                               tmp.sub16("Plugins/1/2/3/4/5/fmx_Deep.so")}));
    EXPECT_EQ(registry.plugin_path(3), u"");

    // Fresh for 30 s on mains; then rescanned.
    plugin("fmx_New.so");
    clock += 30000 * kMs;
    EXPECT_EQ(registry.refresh_plugin_list(), 3u);
    clock += 1 * kMs;
    EXPECT_EQ(registry.refresh_plugin_list(), 4u);
}

TEST(PowerStatus, ReadsMainsAndBatteryFromTheSupplyFolder) {
    TempFolder sys;
    EXPECT_FALSE(platform::power_status_from(sys.path()).on_battery); // no battery: mains
    sys.write("BAT0/type", "Battery\n");
    sys.write("BAT0/capacity", "37\n");
    sys.write("AC/type", "Mains\n");
    sys.write("AC/online", "0\n");
    const auto status = platform::power_status_from(sys.path());
    EXPECT_TRUE(status.on_battery);
    EXPECT_EQ(status.charge_percent, 37);
    sys.write("AC/online", "1\n");
    EXPECT_FALSE(platform::power_status_from(sys.path()).on_battery);
}

TEST_F(RegistryTest, BlacklistMatchesAnywhereAndHidesPlugins) {
    plugin("fmx_PNG.so");
    plugin("fmx_PNG.so.d/fmx_Extra.so");
    tmp.write("plugin_blacklist.txt", "  " + tmp / "Plugins/fmx_PNG.so.d/fmx_Extra.so" + "\r\n");
    FilterRegistry registry(options());
    // A path that is a prefix of a listed one is blacklisted with it.
    EXPECT_TRUE(registry.is_blacklisted(tmp.sub16("Plugins/fmx_PNG.so")));
    EXPECT_FALSE(registry.look_up(RegistryKind::load, u".png"));
    EXPECT_EQ(registry.refresh_plugin_list(), 0u);
    EXPECT_FALSE(registry.is_blacklisted(u""));
}

TEST_F(RegistryTest, BlacklistAddWritesEightBitOrUtf16AndIsReReadAfter15Seconds) {
    FilterRegistry registry(options());
    registry.blacklist_add(u"/p/fmx_A.so");
    registry.blacklist_add(u"/p/fmx_A.so"); // already there
    registry.blacklist_add(u"/p/fmx_Å.so");
    EXPECT_EQ(tmp.read("plugin_blacklist.txt"), "/p/fmx_A.so\r\n/p/fmx_\xC3\x85.so");
    registry.blacklist_add(u"/p/fmx_日本.so");
    const std::string wide = tmp.read("plugin_blacklist.txt");
    EXPECT_EQ(wide.substr(0, 4), std::string("\xFF\xFE/\0", 4));
    EXPECT_TRUE(registry.is_blacklisted(u"/p/fmx_日本.so"));

    // Another program edits the file: seen once the text is older than 15 s.
    tmp.write("plugin_blacklist.txt", "/q/fmx_B.so");
    EXPECT_FALSE(registry.is_blacklisted(u"/q/fmx_B.so"));
    clock += 15001 * kMs;
    EXPECT_TRUE(registry.is_blacklisted(u"/q/fmx_B.so"));
    EXPECT_FALSE(registry.is_blacklisted(u"/p/fmx_A.so"));
}

TEST_F(RegistryTest, BlockingAndUnblockingTakeEffectAtOnceAndKeepOtherLines) {
    plugin("fmx_PNG.so");
    plugin("fmx_BMP.so");
    const std::u16string png = tmp.sub16("Plugins/fmx_PNG.so");
    FilterRegistry registry(options());
    ASSERT_EQ(registry.refresh_plugin_list(), 2u);
    registry.blacklist_add(u"/elsewhere/fmx_Old.so");
    registry.blacklist_add(png);
    // The fresh list already leaves the blocked one out.
    EXPECT_EQ(registry.plugin_list(), std::vector<std::u16string>{tmp.sub16("Plugins/fmx_BMP.so")});
    EXPECT_FALSE(registry.look_up(RegistryKind::load, u".png"));
    EXPECT_EQ(registry.blacklist_entries(),
              (std::vector<std::u16string>{u"/elsewhere/fmx_Old.so", png}));

    EXPECT_TRUE(registry.blacklist_remove(png));
    EXPECT_EQ(registry.refresh_plugin_list(), 2u);
    EXPECT_EQ(registry.look_up(RegistryKind::load, u".png"), png);
    EXPECT_EQ(tmp.read("plugin_blacklist.txt"), "/elsewhere/fmx_Old.so");
    EXPECT_TRUE(registry.blacklist_remove(u"/not/listed.so"));

    // A line naming a longer path blocks its prefix too, so unblocking the prefix removes it;
    // the last line gone takes the file with it.
    registry.blacklist_add(png + u".d/fmx_Extra.so");
    EXPECT_TRUE(registry.is_blacklisted(png));
    EXPECT_TRUE(registry.blacklist_remove(png));
    EXPECT_FALSE(registry.is_blacklisted(png + u".d/fmx_Extra.so"));
    EXPECT_TRUE(registry.blacklist_remove(u"/elsewhere/fmx_Old.so"));
    EXPECT_FALSE(std::filesystem::exists(tmp / "plugin_blacklist.txt"));
    EXPECT_TRUE(registry.blacklist_entries().empty());
}

TEST_F(RegistryTest, KeptLibraryIsReleasedOnlyWhenIdleOrForced) {
    FilterRegistry registry(options());
    registry.keep_library(u"" VT_TEST_PLUGIN);
    ASSERT_TRUE(registry.library_kept());
    clock += 1999 * kMs;
    EXPECT_FALSE(registry.release_kept_library(false));
    registry.keep_library(u"" VT_TEST_PLUGIN); // used again: the time is renewed
    clock += 1999 * kMs;
    EXPECT_FALSE(registry.release_kept_library(false));
    clock += 1 * kMs;
    EXPECT_TRUE(registry.release_kept_library(false));
    EXPECT_FALSE(registry.library_kept());
    registry.keep_library(u"" VT_TEST_PLUGIN);
    EXPECT_TRUE(registry.release_kept_library(true));
    registry.keep_library(tmp.sub16("Plugins/missing.so"));
    EXPECT_FALSE(registry.library_kept());
}

} // namespace
} // namespace vt::plugins
