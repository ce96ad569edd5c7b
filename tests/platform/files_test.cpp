#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

using test::TempFolder;

TEST(Paths, JoinAndSplit) {
    EXPECT_EQ(join_path(u"/a", u"b"), u"/a/b");
    EXPECT_EQ(join_path(u"/a/", u"b"), u"/a/b");
    EXPECT_EQ(join_path(u"/a/", u"/b"), u"/a/b");
    EXPECT_EQ(join_path(u"/a", u""), u"/a");
    EXPECT_EQ(join_path(u"", u"b"), u"b");
    EXPECT_EQ(join_path(std::u16string(kMaxPath + 10, u'x'), u"y").size(), kMaxPath - 1);

    EXPECT_EQ(file_name_of(u"/a/b.c/d"), u"d");
    EXPECT_EQ(folder_of(u"/a/b.c/d"), u"/a/b.c");
    EXPECT_EQ(folder_of(u"/d"), u"/");
    EXPECT_EQ(extension_of(u"/a/b.c/photo.final.png"), u".png");
    EXPECT_EQ(extension_of(u"/a/b.c/README"), u""); // a dot in a folder never counts
    EXPECT_EQ(stem_of(u"/x/photo.final.png"), u"photo.final");
}

TEST(Files, ListingGivesNamesAndFolderFlagsIncludingLinks) {
    TempFolder tmp;
    tmp.write("a.jpg");
    std::filesystem::create_directories(tmp / "sub");
    std::filesystem::create_directory_symlink(tmp / "sub", tmp / "link");
    std::vector<std::pair<std::string, bool>> seen;
    DirListing listing(tmp.path16());
    ASSERT_TRUE(listing.is_open());
    DirEntry e;
    while (listing.next(e))
        if (e.name != u"." && e.name != u"..")
            seen.emplace_back(test::u8(e.name), e.is_directory);
    std::sort(seen.begin(), seen.end());
    const std::vector<std::pair<std::string, bool>> expected = {
        {"a.jpg", false}, {"link", true}, {"sub", true}};
    EXPECT_EQ(seen, expected);
    EXPECT_FALSE(DirListing(tmp.sub16("missing")).is_open());
}

TEST(Files, FolderChainAndAttributes) {
    TempFolder tmp;
    EXPECT_TRUE(create_folder_chain(tmp.sub16("x/y/z")));
    EXPECT_TRUE(is_directory(tmp.sub16("x/y/z")));
    EXPECT_TRUE(create_folder_chain(tmp.sub16("x/y/z"))); // already there
    tmp.write("file");
    EXPECT_FALSE(create_folder_chain(tmp.sub16("file/below")));

    EXPECT_FALSE(is_read_only(tmp.sub16("file")));
    EXPECT_TRUE(set_read_only(tmp.sub16("file"), true));
    EXPECT_TRUE(is_read_only(tmp.sub16("file")));
    EXPECT_FALSE(delete_file(tmp.sub16("file")));
    EXPECT_TRUE(delete_file(tmp.sub16("file"), true));
    EXPECT_FALSE(path_exists(tmp.sub16("file")));
    EXPECT_TRUE(delete_file(tmp.sub16("file"))); // missing is no error
}

TEST(Files, CopyReplacesTargetOnlyWhenComplete) {
    TempFolder tmp;
    tmp.write("src", "new bytes");
    tmp.write("dst", "old bytes");
    EXPECT_TRUE(copy_file_replace(tmp.sub16("src"), tmp.sub16("dst")));
    EXPECT_EQ(tmp.read("dst"), "new bytes");

    // A source that cannot be read leaves the earlier target as it was, and no debris.
    tmp.write("dst", "keep me");
    EXPECT_FALSE(copy_file_replace(tmp.sub16("missing"), tmp.sub16("dst")));
    EXPECT_FALSE(copy_file_replace(tmp.sub16("sub-is-folder"), tmp.sub16("dst")));
    EXPECT_EQ(tmp.read("dst"), "keep me");

    // A read-only target is not replaced.
    ASSERT_TRUE(set_read_only(tmp.sub16("dst"), true));
    EXPECT_FALSE(copy_file_replace(tmp.sub16("src"), tmp.sub16("dst")));
    EXPECT_EQ(tmp.read("dst"), "keep me");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(tmp.path()))
        ++files;
    EXPECT_EQ(files, 2u);
}

TEST(Files, CopyIntoReadOnlyFolderFailsCleanly) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write anywhere";
    TempFolder tmp;
    tmp.write("src", "data");
    std::filesystem::create_directories(tmp / "locked");
    ::chmod((tmp / "locked").c_str(), 0555);
    EXPECT_FALSE(copy_file_replace(tmp.sub16("src"), tmp.sub16("locked/dst")));
}

TEST(Files, ExclusiveOpenKeepsOtherHoldersOut) {
    TempFolder tmp;
    File first;
    ASSERT_TRUE(first.open_exclusive(tmp.sub16("log"), File::Mode::read_write_create));
    File second;
    EXPECT_FALSE(second.open_exclusive(tmp.sub16("log"), File::Mode::read_write_create));
    first.close();
    EXPECT_TRUE(second.open_exclusive(tmp.sub16("log"), File::Mode::read_write_create));
    File folder;
    EXPECT_FALSE(folder.open(tmp.path16(), File::Mode::read));
}

TEST(Clock, MillisecondsSaturateAndNeverGoBackwards) {
    EXPECT_EQ(elapsed_ms(0, 1999999), 1u);
    EXPECT_EQ(elapsed_ms(5000000, 1000000), 0u);
    EXPECT_EQ(elapsed_ms(0, std::uint64_t{5000000000} * 1000000u), kMaxMilliseconds);
}

} // namespace
} // namespace vt::platform
