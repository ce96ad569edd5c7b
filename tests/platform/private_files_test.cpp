#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/files.h"
#include "platform/private_files.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

using test::TempFolder;

void give_away(const std::string& path) {
    (void)!::chown(path.c_str(), 65534, 65534);
}

// A file under <root>/Plugins is opened, read or written, only while it and every folder up to
// the root are the user's alone; a foreign data root is also named as such.
TEST(PrivateFiles, OnlyTheUsersOwnFilesInTheUsersOwnFoldersAreUsed) {
    const struct {
        const char* name;
        void (*make)(const TempFolder& tmp); // tmp/root/Plugins/state.bin exists, all private
        bool usable;
        const char* problem; // how the root's problem begins; empty: none
        bool needs_root;
    } cases[] = {
        {"all private", [](const TempFolder&) {}, true, "", false},
        {"file group-writable",
         [](const TempFolder& t) { ::chmod((t / "root/Plugins/state.bin").c_str(), 0620); }, false,
         "", false},
        {"file others-writable",
         [](const TempFolder& t) { ::chmod((t / "root/Plugins/state.bin").c_str(), 0602); }, false,
         "", false},
        {"file a link",
         [](const TempFolder& t) {
             std::filesystem::rename(t / "root/Plugins/state.bin", t / "root/real.bin");
             std::filesystem::create_symlink(t / "root/real.bin", t / "root/Plugins/state.bin");
         },
         false, "", false},
        {"file another owner's",
         [](const TempFolder& t) { give_away(t / "root/Plugins/state.bin"); }, false, "", true},
        {"folder group-writable",
         [](const TempFolder& t) { ::chmod((t / "root/Plugins").c_str(), 0770); }, false, "",
         false},
        {"folder another owner's", [](const TempFolder& t) { give_away(t / "root/Plugins"); },
         false, "", true},
        {"root others-writable", [](const TempFolder& t) { ::chmod((t / "root").c_str(), 0777); },
         false, "The data folder \"", false},
        {"root another owner's", [](const TempFolder& t) { give_away(t / "root"); }, false,
         "The data folder \"", true},
    };
    for (const auto& c : cases) {
        if (c.needs_root && ::geteuid() != 0)
            continue; // only root can give a file away
        TempFolder tmp;
        tmp.write("root/Plugins/state.bin", "ours");
        ::chmod((tmp / "root").c_str(), 0700);
        ::chmod((tmp / "root/Plugins").c_str(), 0700);
        ::chmod((tmp / "root/Plugins/state.bin").c_str(), 0600);
        c.make(tmp);
        const std::u16string root = tmp.sub16("root");
        File file;
        EXPECT_EQ(file.open_private(tmp.sub16("root/Plugins/state.bin"), File::Mode::read, root),
                  c.usable)
            << c.name;
        EXPECT_EQ(file.open_private(tmp.sub16("root/Plugins/state.bin"),
                                    File::Mode::read_write_create, root),
                  c.usable)
            << c.name;
        // Nothing new is created where the folders are not private.
        EXPECT_EQ(file.open_private(tmp.sub16("root/Plugins/new.bin"),
                                    File::Mode::read_write_create, root),
                  c.usable || std::string(c.name).starts_with("file"))
            << c.name;
        EXPECT_EQ(tmp.exists("root/Plugins/new.bin"),
                  c.usable || std::string(c.name).starts_with("file"))
            << c.name;
        const std::u16string problem = data_root_problem(root);
        EXPECT_TRUE(problem.starts_with(base::utf8_to_utf16(c.problem))) << c.name;
        EXPECT_EQ(problem.empty(), std::string(c.problem).empty()) << c.name;
        ::chmod((tmp / "root").c_str(), 0700); // so the clean-up can go in
    }
}

TEST(PrivateFiles, RealPathsAndWhatLiesInside) {
    TempFolder tmp;
    tmp.write("Plugins/fmx_A.so");
    tmp.write("elsewhere/fmx_B.so");
    std::filesystem::create_symlink(tmp / "elsewhere/fmx_B.so", tmp / "Plugins/fmx_Link.so");
    std::filesystem::create_symlink(tmp / "Plugins/fmx_A.so", tmp / "Plugins/fmx_Alias.so");
    const std::u16string plugins = tmp.sub16("Plugins");
    const struct {
        std::u16string path;
        bool inside;
    } cases[] = {
        {plugins + u"/fmx_A.so", true},
        {plugins + u"/fmx_Alias.so", true}, // a link that stays inside
        {plugins + u"/fmx_Link.so", false},
        {plugins + u"/../elsewhere/fmx_B.so", false},
        {plugins + u"/../Plugins/fmx_A.so", true}, // resolved it is inside
        {plugins + u"/missing.so", false},
        {plugins, false},
        {plugins + u"/.", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(really_inside(c.path, plugins), c.inside) << test::u8(c.path);
    EXPECT_EQ(real_path(plugins + u"/../Plugins/./fmx_Alias.so"), plugins + u"/fmx_A.so");
}

} // namespace
} // namespace vt::platform
