#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/files.h"
#include "plugins/state_store.h"
#include "tests/support/temp_folder.h"

namespace vt::plugins {
namespace {

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t fill = 7) {
    return std::vector<std::uint8_t>(n, fill);
}

TEST(StateStore, KeepsAtMost64KiBAndDeletesOnEmptyData) {
    StateStore store(u"/nonexistent");
    EXPECT_EQ(store.set(u"fmx_PNG.level", bytes(70000)), 65536);
    EXPECT_EQ(store.size(u"fmx_PNG.level"), 65536);
    std::vector<std::uint8_t> out(10);
    EXPECT_EQ(store.get(u"fmx_PNG.level", out), 10);
    EXPECT_EQ(store.get(u"fmx_PNG.level", {}), 0);
    EXPECT_EQ(store.set(u"fmx_PNG.level", {}), 1);
    EXPECT_EQ(store.size(u"fmx_PNG.level"), 0);
    EXPECT_EQ(store.get(u"fmx_PNG.level", out), 0);
    EXPECT_EQ(store.set(u"", bytes(1)), 0);
}

TEST(StateStore, NamesAreCutAt31Characters) {
    StateStore store(u"/nonexistent");
    const std::u16string a = std::u16string(31, u'n') + u"-first";
    const std::u16string b = std::u16string(31, u'n') + u"-second";
    store.set(a, bytes(3, 1));
    store.set(b, bytes(5, 2));
    std::vector<std::uint8_t> out(8);
    EXPECT_EQ(store.get(a, out), 5); // the same entry
}

TEST(StateStore, FullStoreDropsTheLeastRecentlyUsedEntry) {
    StateStore store(u"/nonexistent");
    for (int i = 0; i < 1024; ++i)
        store.set(u"k" + std::u16string(1, static_cast<char16_t>(u'A' + i % 26)) +
                      std::u16string(1, static_cast<char16_t>(u'0' + i / 26)),
                  bytes(1));
    std::vector<std::uint8_t> out(1);
    EXPECT_EQ(store.get(u"kA0", out), 1); // renewed: the oldest is now kB0
    store.set(u"newcomer", bytes(2));
    EXPECT_EQ((std::vector{store.size(u"newcomer"), store.size(u"kA0"), store.size(u"kB0"),
                           store.size(u"kC0")}),
              (std::vector{2, 1, 0, 1}));
}

TEST(StateStore, StateFilesRoundTripAndRefuseFolderNames) {
    test::TempFolder tmp;
    StateStore store(tmp.sub16("Plugins"));
    EXPECT_EQ(store.file_write(u"_$pf.flt_load.5.08.01", bytes(100, 3)), 100);
    EXPECT_TRUE(tmp.exists("Plugins/_$pf.flt_load.5.08.01.bin"));
    EXPECT_EQ(store.file_size(u"_$pf.flt_load.5.08.01"), 100);
    std::vector<std::uint8_t> out(40);
    EXPECT_EQ(store.file_read(u"_$pf.flt_load.5.08.01", out), 40);
    EXPECT_EQ(out[39], 3);
    EXPECT_EQ(store.file_write(u"big", bytes(300000)), 262144);

    for (const char16_t* bad : {u"a\\b", u"../escape", u"a/b", u""}) {
        EXPECT_EQ(store.file_write(bad, bytes(1)), 0);
        EXPECT_EQ(store.file_read(bad, out), 0);
        EXPECT_EQ(store.file_size(bad), 0);
    }
    // Empty data deletes, read-only or not.
    ASSERT_TRUE(platform::set_read_only(tmp.sub16("Plugins/big.bin"), true));
    EXPECT_EQ(store.file_write(u"big", {}), 1);
    EXPECT_FALSE(tmp.exists("Plugins/big.bin"));
    EXPECT_EQ(store.file_size(u"big"), 0);
}

// Plug-ins act on their state files, and the registries' files name code to load: a file that
// is not the user's alone, or lies in a folder (up to the data root) that is not, is neither
// read nor written.
TEST(StateStore, StateFilesThatAreNotTheUsersAloneAreNotUsed) {
    const struct {
        const char* name;
        void (*make)(const test::TempFolder& tmp); // root/Plugins/opt.bin holds "theirs"
        bool needs_root;
    } cases[] = {
        {"group may write",
         [](const test::TempFolder& t) { ::chmod((t / "root/Plugins/opt.bin").c_str(), 0660); },
         false},
        {"others may write",
         [](const test::TempFolder& t) { ::chmod((t / "root/Plugins/opt.bin").c_str(), 0606); },
         false},
        {"another owner's",
         [](const test::TempFolder& t) {
             (void)!::chown((t / "root/Plugins/opt.bin").c_str(), 65534, 65534);
         },
         true},
        {"a link",
         [](const test::TempFolder& t) {
             std::filesystem::rename(t / "root/Plugins/opt.bin", t / "theirs.bin");
             std::filesystem::create_symlink(t / "theirs.bin", t / "root/Plugins/opt.bin");
         },
         false},
        {"folder others may write",
         [](const test::TempFolder& t) { ::chmod((t / "root/Plugins").c_str(), 0777); }, false},
        {"data root others may write",
         [](const test::TempFolder& t) { ::chmod((t / "root").c_str(), 0777); }, false},
        {"data root another owner's",
         [](const test::TempFolder& t) { (void)!::chown((t / "root").c_str(), 65534, 65534); },
         true},
    };
    for (const auto& c : cases) {
        if (c.needs_root && ::geteuid() != 0)
            continue; // only root can give a file away
        test::TempFolder tmp;
        ::setenv("VANTREL_DATA_ROOT", (tmp / "root").c_str(), 1);
        StateStore store; // the program's: <data root>/Plugins
        ASSERT_EQ(store.file_write(u"opt", bytes(6, 'o')), 6) << c.name;
        tmp.write("root/Plugins/opt.bin", "theirs");
        c.make(tmp);
        std::vector<std::uint8_t> out(16);
        EXPECT_EQ(store.file_read(u"opt", out), 0) << c.name;
        EXPECT_EQ(store.file_size(u"opt"), 0) << c.name;
        EXPECT_EQ(store.file_write(u"opt", bytes(3, 'x')), 0) << c.name;
        EXPECT_EQ(tmp.read("root/Plugins/opt.bin"), "theirs") << c.name;
        if (std::string(c.name).find("folder") != std::string::npos ||
            std::string(c.name).find("root") != std::string::npos) {
            EXPECT_EQ(store.file_write(u"opt", {}), 0) << c.name << ": nothing removed there";
            EXPECT_TRUE(tmp.exists("root/Plugins/opt.bin")) << c.name;
        }
        ::chmod((tmp / "root").c_str(), 0700);
        ::unsetenv("VANTREL_DATA_ROOT");
    }
}

TEST(StateStore, WorkersShareItSafely) {
    StateStore store(u"/nonexistent");
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&store, t] {
            const std::u16string name =
                u"worker" + std::u16string(1, static_cast<char16_t>(u'0' + t));
            std::vector<std::uint8_t> out(64);
            for (int i = 1; i <= 500; ++i) {
                store.set(name, bytes(static_cast<std::size_t>(i % 64 + 1),
                                      static_cast<std::uint8_t>(t)));
                EXPECT_EQ(store.get(name, out), i % 64 + 1);
                EXPECT_EQ(out[0], t);
            }
        });
    for (auto& t : threads)
        t.join();
}

} // namespace
} // namespace vt::plugins
