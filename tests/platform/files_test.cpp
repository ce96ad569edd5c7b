#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/clock.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/pending_ops.h"
#include "platform/replace_file.h"
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

TEST(Files, ReplacingANameOfUpTo255BytesWorks) {
    TempFolder tmp;
    set_pending_journal(tmp.sub16("journal.txt"));
    // Lengths around the 255-byte limit, in one-, two- and three-byte characters.
    const struct {
        std::size_t count;
        std::string unit;
    } rows[] = {{251, "n"}, {246, "n"}, {238, "n"}, {125, "\xc3\xa9"}, {83, "\xe6\xbc\xa2"}};
    for (const auto& r : rows) {
        std::string name;
        for (std::size_t i = 0; i < r.count; ++i)
            name += r.unit;
        name += ".png";
        ASSERT_LE(name.size(), 255u);
        tmp.write("src", "new picture");
        tmp.write(name, "old picture");
        ReplacingFile file;
        ASSERT_TRUE(file.create(tmp.sub16(name), u".png")) << name.size();
        const std::string temp = base::utf16_to_utf8(file_name_of(file.temp_path()));
        EXPECT_LE(temp.size(), 255u);
        EXPECT_EQ(temp.substr(0, 8), name.substr(0, 8)); // recognisably the target's
        EXPECT_NE(temp.find(".tmp.png"), std::string::npos);
        EXPECT_EQ(tmp.read(name), "old picture");
        file.abandon();
        EXPECT_TRUE(copy_file_replace(tmp.sub16("src"), tmp.sub16(name))) << name.size();
        EXPECT_EQ(tmp.read(name), "new picture");
        std::filesystem::remove(tmp / name);
    }
    for (const auto& e : std::filesystem::directory_iterator(tmp.path()))
        EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
    set_pending_journal({});
}

TEST(Files, AClaimedNameIsTakenOnceAndDroppedOnlyWhileUnused) {
    TempFolder tmp;
    const auto first = claim_new_file(tmp.sub16("a.jpg"));
    ASSERT_TRUE(first);
    EXPECT_FALSE(claim_new_file(tmp.sub16("a.jpg")));
    EXPECT_EQ(errno, EEXIST);
    std::filesystem::create_symlink(tmp / "nowhere", tmp / "link.jpg");
    EXPECT_FALSE(claim_new_file(tmp.sub16("link.jpg"))); // not even through a dangling link
    EXPECT_FALSE(std::filesystem::exists(tmp / "nowhere"));

    const auto second = claim_new_file(tmp.sub16("b.jpg"));
    ASSERT_TRUE(second);
    tmp.write("b.jpg", "written");
    EXPECT_FALSE(drop_unused_claim(tmp.sub16("b.jpg"), *second));
    EXPECT_EQ(tmp.read("b.jpg"), "written");
    EXPECT_TRUE(drop_unused_claim(tmp.sub16("a.jpg"), *first));
    EXPECT_FALSE(tmp.exists("a.jpg"));
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
