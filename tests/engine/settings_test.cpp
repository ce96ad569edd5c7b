#include <gtest/gtest.h>

#include <string>

#include "engine/settings.h"
#include "platform/files.h"
#include "tests/support/temp_folder.h"

namespace vt::engine {
namespace {

using test::TempFolder;

constexpr platform::TimeStamp kSecond = 1000000000ull;

std::string record_bytes(std::uint16_t width, std::uint16_t height) {
    SettingsRecord r = SettingsRecord::defaults();
    r.resizeWidth = width;
    r.resizeHeight = height;
    const auto b = r.to_bytes();
    return std::string(b.begin(), b.end());
}

TEST(SettingsRecord, GoldenBytes) {
    SettingsRecord r = SettingsRecord::defaults();
    r.windowLeft = -8;
    r.windowTop = 20;
    r.clientWidth = 720;
    r.clientHeight = 640;
    r.showState = 1;
    const auto b = r.to_bytes();
    const std::uint8_t expected[32] = {
        0x01, 0x00, 0x01, 0x00, 0x20, 0,    0,    0,    0x80, 0x02, 0xE0, 0x01, 0, 0, 0, 0,
        0xF8, 0xFF, 0x14, 0,    0xD0, 0x02, 0x80, 0x02, 0x01, 0,    0,    0,    0, 0, 0, 0};
    EXPECT_EQ(std::string(b.begin(), b.end()),
              std::string(std::begin(expected), std::end(expected)));
    EXPECT_EQ(SettingsRecord::from_bytes(b.data()).to_bytes(), b);
    r.showState = 2;
    EXPECT_TRUE(r.maximized());
}

TEST(SettingsRecord, OnlyCompleteRecordsWithTagAndSizeParse) {
    const std::string good = record_bytes(800, 600);
    EXPECT_TRUE(parse_settings(good));
    std::string wrong_tag = good, wrong_size = good;
    wrong_tag[0] = 2;
    wrong_size[4] = 33;
    for (const std::string& bad :
         {good.substr(0, 8), good.substr(0, 31), wrong_tag, wrong_size, std::string()})
        EXPECT_FALSE(parse_settings(bad)) << bad.size();
}

TEST(SettingsSync, FirstSyncTakesDefaultsAndTheNextWritesThem) {
    TempFolder tmp;
    SettingsSync sync(tmp.sub16("Converter"));
    EXPECT_TRUE(sync.sync(10 * kSecond));
    EXPECT_EQ(sync.record().resizeWidth, 640);
    EXPECT_FALSE(tmp.exists("Converter/settings.bin")); // folder made, nothing written yet
    EXPECT_TRUE(tmp.exists("Converter"));
    EXPECT_TRUE(sync.sync(11 * kSecond));
    EXPECT_EQ(tmp.read("Converter/settings.bin"), record_bytes(640, 480));
}

TEST(SettingsSync, ValidFileIsAdoptedAtTheFirstSync) {
    TempFolder tmp;
    tmp.write("settings.bin", record_bytes(1024, 768));
    SettingsSync sync(tmp.path16());
    EXPECT_TRUE(sync.sync(kSecond));
    EXPECT_EQ(sync.record().resizeWidth, 1024);
    EXPECT_EQ(sync.record().resizeHeight, 768);
}

TEST(SettingsSync, ShortOrForeignFileIsReplacedByTheDefaults) {
    for (const std::string& bad : {record_bytes(1, 1).substr(0, 8 + 10), std::string(32, '\x07')}) {
        TempFolder tmp;
        tmp.write("settings.bin", bad);
        SettingsSync sync(tmp.path16());
        sync.sync(kSecond);
        EXPECT_EQ(sync.record().resizeWidth, 640);
        sync.sync(2 * kSecond);
        EXPECT_EQ(tmp.read("settings.bin"), record_bytes(640, 480));
    }
}

TEST(SettingsSync, ChangesWithinASecondAreNotWritten) {
    TempFolder tmp;
    SettingsSync sync(tmp.path16());
    sync.sync(kSecond);
    sync.sync(2 * kSecond);
    sync.record().resizeWidth = 1920;
    EXPECT_TRUE(sync.sync(2 * kSecond + 999 * 1000000ull));
    EXPECT_EQ(tmp.read("settings.bin"), record_bytes(640, 480));
    EXPECT_TRUE(sync.sync(3 * kSecond));
    EXPECT_EQ(tmp.read("settings.bin"), record_bytes(1920, 480));
}

TEST(SettingsSync, AnotherInstancesLaterWriteIsAdopted) {
    TempFolder tmp;
    SettingsSync mine(tmp.path16());
    mine.sync(kSecond);
    mine.sync(2 * kSecond); // writes 640 x 480
    const auto written = platform::last_write_time(tmp.sub16("settings.bin"));
    ASSERT_TRUE(written);

    // The other instance moved its window: its file is newer than what we last saw.
    tmp.write("settings.bin", record_bytes(1280, 720));
    ASSERT_TRUE(
        platform::set_last_write_time(tmp.sub16("settings.bin"), *written + 5 * 1000000000ll));
    EXPECT_TRUE(mine.sync(3 * kSecond));
    EXPECT_EQ(mine.record().resizeWidth, 1280);

    // Our own later change goes back into the file.
    mine.record().resizeHeight = 900;
    EXPECT_TRUE(mine.sync(4 * kSecond));
    EXPECT_EQ(tmp.read("settings.bin"), record_bytes(1280, 900));
}

TEST(SettingsSync, UnwritableFolderFailsTheSync) {
    TempFolder tmp;
    tmp.write("not-a-folder");
    SettingsSync sync(tmp.sub16("not-a-folder"));
    sync.sync(kSecond);
    EXPECT_FALSE(sync.sync(2 * kSecond));
    EXPECT_EQ(sync.record().resizeWidth, 640); // memory keeps its values
}

} // namespace
} // namespace vt::engine
