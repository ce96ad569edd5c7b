#include <gtest/gtest.h>

#include <filesystem>

#include "engine/source_scan.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

using test::TempFolder;

TEST(SourceScan, SkippedNamesInAnyCase) {
    for (const char16_t* name :
         {u".", u"..", u"thumbs.db", u"Thumbs.db", u"THUMBS.DB", u"desktop.ini", u"Desktop.INI"})
        EXPECT_TRUE(is_skipped_name(name));
    for (const char16_t* name : {u"thumbs.db.jpg", u"...", u"desktop.ini ", u"x"})
        EXPECT_FALSE(is_skipped_name(name));
}

TEST(SourceScan, CountsFilesOfAnyKindButNotSkippedOnes) {
    TempFolder tmp;
    tmp.write("Thumbs.db");
    tmp.write("DESKTOP.INI");
    EXPECT_EQ(count_files(tmp.path16(), true), 0u);
    tmp.write("a.jpg");
    tmp.write("README");
    tmp.write("notes.txt");
    EXPECT_EQ(count_files(tmp.path16(), false), 3u);
}

TEST(SourceScan, SubFoldersCountOnlyWhenRecursive) {
    TempFolder tmp;
    tmp.write("s1/a.png");
    tmp.write("s1/b.png");
    tmp.write("s1/deeper/c.png");
    tmp.write("s2.d/d.png");
    EXPECT_EQ(count_files(tmp.path16(), false), 0u);
    EXPECT_EQ(count_files(tmp.path16(), true), 4u);
    EXPECT_EQ(count_files(tmp.sub16("s1"), false), 2u);
}

TEST(SourceScan, UnlistableOrMissingFoldersCountZero) {
    TempFolder tmp;
    EXPECT_EQ(count_files(u"", true), 0u);
    EXPECT_EQ(count_files(tmp.sub16("missing"), true), 0u);
    tmp.write("file.jpg");
    EXPECT_EQ(count_files(tmp.sub16("file.jpg"), true), 0u);
}

TEST(SourceScan, LinkBackUpTheTreeIsWalkedOnce) {
    TempFolder tmp;
    tmp.write("top/a.jpg");
    tmp.write("top/sub/b.jpg");
    std::filesystem::create_directory_symlink(tmp / "top", tmp / "top/sub/loop");
    EXPECT_EQ(count_files(tmp.sub16("top"), true), 2u);
}

} // namespace
} // namespace vt::engine
