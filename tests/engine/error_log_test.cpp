#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "engine/error_log.h"
#include "platform/files.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

using test::TempFolder;

TEST(ErrorLog, Utf16LittleEndianLinesWithoutByteOrderMark) {
    TempFolder tmp;
    EXPECT_TRUE(append_error_log_line(tmp.path16(), u"/in/a.png"));
    EXPECT_TRUE(append_error_log_line(tmp.path16(), u"/in/\u00E9\U0001F600.jpg"));
    const std::string expected("/\0i\0n\0/\0a\0.\0p\0n\0g\0\r\0\n\0"
                               "/\0i\0n\0/\0\xE9\0\x3D\xD8\x00\xDE.\0j\0p\0g\0\r\0\n\0",
                               2 * (9 + 2 + 11 + 2));
    EXPECT_EQ(tmp.read("_error_log.txt"), expected);
}

TEST(ErrorLog, LineIsCutAt4096Characters) {
    TempFolder tmp;
    EXPECT_TRUE(append_error_log_line(tmp.path16(), std::u16string(5000, u'p')));
    const std::string bytes = tmp.read("_error_log.txt");
    ASSERT_EQ(bytes.size(), 2u * (4096 + 2));
    EXPECT_EQ(bytes.substr(bytes.size() - 4), std::string("\r\0\n\0", 4));
}

TEST(ErrorLog, ReadOnlyLogIsDeletedAtJobStart) {
    TempFolder tmp;
    ASSERT_TRUE(append_error_log_line(tmp.path16(), u"old"));
    ASSERT_TRUE(platform::set_read_only(tmp.sub16("_error_log.txt"), true));
    EXPECT_TRUE(delete_error_log(tmp.path16()));
    EXPECT_FALSE(tmp.exists("_error_log.txt"));
    EXPECT_TRUE(delete_error_log(tmp.path16())); // missing is fine
}

TEST(ErrorLog, WaitsBrieflyForAnotherHolder) {
    TempFolder tmp;
    platform::File viewer;
    ASSERT_TRUE(viewer.open_exclusive(tmp.sub16("_error_log.txt"),
                                      platform::File::Mode::read_write_create));
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        viewer.close();
    });
    EXPECT_TRUE(append_error_log_line(tmp.path16(), u"x"));
    release.join();
    EXPECT_EQ(tmp.read("_error_log.txt"), std::string("x\0\r\0\n\0", 6));
}

TEST(ErrorLog, GivesUpWhenTheFileStaysHeld) {
    TempFolder tmp;
    platform::File viewer;
    ASSERT_TRUE(viewer.open_exclusive(tmp.sub16("_error_log.txt"),
                                      platform::File::Mode::read_write_create));
    EXPECT_FALSE(append_error_log_line(tmp.path16(), u"dropped"));
    EXPECT_FALSE(append_error_log_line(tmp.sub16("no/such/folder"), u"dropped"));
}

} // namespace
} // namespace vt::engine
