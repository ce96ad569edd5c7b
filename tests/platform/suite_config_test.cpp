#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/le.h"
#include "platform/suite_config.h"
#include "tests/support/temp_folder.h"

namespace vt::platform {
namespace {

constexpr TimeStamp kSecond = 1000000000ull;

std::string record(std::size_t size, std::uint32_t size_field) {
    std::string bytes(size, '\x41');
    auto* p = reinterpret_cast<std::uint8_t*>(bytes.data());
    base::store_le32(p, 0x12345678);
    base::store_le32(p + 4, size_field);
    if (size >= 18)
        base::store_le16(p + 16, 7);
    return bytes;
}

TEST(SuiteConfig, FullRecordIsAcceptedWithTagSizeAndTextEndsForced) {
    const SuiteConfig c = SuiteConfig::from_file_bytes(record(2064, 2064), 0);
    ASSERT_TRUE(c.accepted());
    EXPECT_EQ(base::load_le32(&c.bytes()[0]), kSuiteConfigTag);
    EXPECT_EQ(base::load_le32(&c.bytes()[4]), 2064u);
    EXPECT_EQ(c.writer_value(), 7);
    for (std::size_t end : {638u, 1542u, 2062u})
        EXPECT_EQ(base::load_le16(&c.bytes()[end]), 0) << end;
    EXPECT_EQ(c.language(), std::u16string(63, u'\x4141')); // 64 characters, the last one NUL
}

TEST(SuiteConfig, OlderShorterRecordLoadsWithTheRestZero) {
    const SuiteConfig c = SuiteConfig::from_file_bytes(record(300, 300), 0);
    ASSERT_TRUE(c.accepted());
    EXPECT_EQ(c.bytes()[299], 0x41);
    EXPECT_EQ(c.bytes()[300], 0);
    EXPECT_EQ(c.temp_override(), u"");
    // A longer file counts only its first 2064 bytes, and they must say so.
    EXPECT_TRUE(SuiteConfig::from_file_bytes(record(2064, 2064) + "tail", 0).accepted());
}

TEST(SuiteConfig, RefusedRecordGivesTheTimeZoneDefaults) {
    for (const std::string& bad : {record(2064, 2000), record(7, 7), std::string()}) {
        const SuiteConfig east = SuiteConfig::from_file_bytes(bad, -60); // Central Europe
        EXPECT_FALSE(east.accepted());
        EXPECT_EQ(east.flag(0) + east.flag(1), 0);
        const SuiteConfig west = SuiteConfig::from_file_bytes(bad, 300); // US Eastern
        EXPECT_EQ(west.flag(0) + west.flag(1), 2);
        EXPECT_EQ(SuiteConfig::from_file_bytes(bad, 480).flag(1), 1);
        EXPECT_EQ(SuiteConfig::from_file_bytes(bad, 481).flag(1), 0);
        EXPECT_EQ(west.writer_value(), 0);
    }
}

TEST(SuiteConfigCache, RereadsAfterFiveSecondsOrWhenForced) {
    test::TempFolder tmp;
    tmp.write("suite_config.bin", record(64, 64));
    SuiteConfigCache cache(tmp.sub16("suite_config.bin"));
    EXPECT_EQ(cache.get(false, 10 * kSecond).writer_value(), 7);
    std::string changed = record(64, 64);
    changed[16] = 9;
    tmp.write("suite_config.bin", changed);
    EXPECT_EQ(cache.get(false, 14 * kSecond).writer_value(), 7); // cached
    EXPECT_EQ(cache.get(true, 14 * kSecond).writer_value(), 9);  // forced
    tmp.write("suite_config.bin", record(64, 64));
    EXPECT_EQ(cache.get(false, 19 * kSecond + 1).writer_value(), 7); // expired
}

TEST(SuiteConfigCache, ManyThreadsRefreshingAtOnceGetWholeRecords) {
    test::TempFolder tmp;
    tmp.write("suite_config.bin", record(2064, 2064));
    SuiteConfigCache cache(tmp.sub16("suite_config.bin"));
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i)
                if (!cache.get(i % 3 == 0).accepted())
                    ++bad;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(bad, 0);
}

} // namespace
} // namespace vt::platform
