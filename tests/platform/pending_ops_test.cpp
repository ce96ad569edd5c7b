#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include "platform/mime.h"
#include "platform/pending_ops.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

using test::TempFolder;

class PendingOps : public ::testing::Test {
protected:
    void SetUp() override { set_pending_journal(tmp.sub16("journal.txt")); }
    void TearDown() override { set_pending_journal({}); }
    TempFolder tmp;
};

TEST_F(PendingOps, ReplayDoesWhatItCanAndKeepsTheRest) {
    tmp.write("stale.tmp", "x");
    tmp.write("backup.tmp", "saved");
    tmp.write("held.tmp", "held");
    schedule_delete(tmp.sub16("stale.tmp"));
    schedule_move(tmp.sub16("backup.tmp"), tmp.sub16("target.png"));
    schedule_delete(tmp.sub16("missing/still-missing.tmp"));
    schedule_move(tmp.sub16("held.tmp"), tmp.sub16("later/held.png")); // no such folder yet
    struct stat st {};
    ASSERT_EQ(::stat((tmp / "journal.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(replay_pending_operations(), 3);
    EXPECT_FALSE(tmp.exists("stale.tmp"));
    EXPECT_EQ(tmp.read("target.png"), "saved");
    EXPECT_EQ(tmp.read("journal.txt"),
              "move\t" + tmp / "held.tmp" + "\t" + tmp / "later/held.png\n");
    std::filesystem::create_directories(tmp / "later");
    EXPECT_EQ(replay_pending_operations(), 1);
    EXPECT_EQ(tmp.read("later/held.png"), "held");
    EXPECT_FALSE(tmp.exists("journal.txt"));
}

// A journal someone else could have written is never carried out, nor added to.
TEST_F(PendingOps, ForeignJournalsAreIgnored) {
    const std::string journal = tmp / "journal.txt";
    const struct {
        const char* name;
        void (*make_foreign)(const std::string& path);
    } cases[] = {
        {"group may write", [](const std::string& p) { ::chmod(p.c_str(), 0620); }},
        {"others may write", [](const std::string& p) { ::chmod(p.c_str(), 0602); }},
        {"a link",
         [](const std::string& p) {
             std::filesystem::rename(p, p + ".real");
             std::filesystem::create_symlink(p + ".real", p);
         }},
        {"another owner", [](const std::string& p) { (void)!::chown(p.c_str(), 65534, 65534); }},
        // A journal of ours in a folder others may write could have been put there by them.
        {"its folder others may write",
         [](const std::string& p) {
             ::chmod(std::filesystem::path(p).parent_path().c_str(), 0777);
         }},
        {"its folder another owner's",
         [](const std::string& p) {
             (void)!::chown(std::filesystem::path(p).parent_path().c_str(), 65534, 65534);
         }},
    };
    for (const auto& c : cases) {
        if (std::string(c.name).find("another owner") != std::string::npos && ::geteuid() != 0)
            continue; // only root can give a file away
        ::chmod(tmp.path().c_str(), 0700);
        (void)!::chown(tmp.path().c_str(), ::geteuid(), ::getegid());
        std::filesystem::remove(journal);
        std::filesystem::remove(journal + ".real");
        tmp.write("victim", "x");
        schedule_delete(tmp.sub16("victim"));
        c.make_foreign(journal);
        schedule_delete(tmp.sub16("victim2"));
        EXPECT_EQ(replay_pending_operations(), 0) << c.name;
        EXPECT_TRUE(tmp.exists("victim")) << c.name;
        EXPECT_EQ(tmp.read("journal.txt"), "delete\t" + tmp / "victim\n") << c.name;
    }
}

TEST(FileTypeName, SharedMimeDatabaseOrTheExtension) {
    EXPECT_EQ(file_type_name(u".zz9"), u"ZZ9");
    EXPECT_FALSE(file_type_name(u".png").empty());
}

} // namespace
} // namespace vt::platform
