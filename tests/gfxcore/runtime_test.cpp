#include <gtest/gtest.h>

#include <string>

#include "gfxcore/runtime.h"
#include "gfxcore/runtime_testing.h"

namespace vt::gfx {
namespace {

void stop_engine() {
    while (init_count() > 0)
        EngineShutdown();
}

class EngineStart : public ::testing::Test {
protected:
    void SetUp() override { stop_engine(); }
    void TearDown() override {
        inject_startup_fault(StartupFault::kNone);
        stop_engine();
    }
};

TEST_F(EngineStart, SecondStartupOnlyCountsAndMatchingShutdownKeepsRunning) {
    ASSERT_EQ(EngineStartup(nullptr, 0), 1);
    const BlendTable* div = DivTable();
    ASSERT_NE(div, nullptr);
    EXPECT_EQ(EngineStartup(nullptr, 0), 1);
    EXPECT_EQ(init_count(), 2u);
    EXPECT_EQ(DivTable(), div) << "a second start-up must not rebuild the tables";

    EngineShutdown();
    EXPECT_EQ(init_count(), 1u);
    EXPECT_EQ(DivTable(), div);

    EngineShutdown();
    EXPECT_EQ(init_count(), 0u);
    EXPECT_EQ(DivTable(), nullptr);
    EXPECT_EQ(BurnTable(), nullptr);
    EngineShutdown(); // one too many is harmless
    EXPECT_EQ(init_count(), 0u);
}

TEST_F(EngineStart, EveryFailureWritesItsMessageAndLeavesTheEngineStopped) {
    const struct {
        StartupFault fault;
        std::u16string message;
    } cases[] = {
        {StartupFault::kLock, u"Failed to initialize TLS synchronization object"},
        {StartupFault::kCpu, u"The installed CPU does not support SSE2"},
        {StartupFault::kTables, u"Internal buffer allocation failed, check RAM"},
    };
    for (const auto& c : cases) {
        inject_startup_fault(c.fault);
        char16_t buffer[80] = {u'x'};
        EXPECT_EQ(EngineStartup(buffer, 80), 0);
        EXPECT_EQ(std::u16string(buffer), c.message);
        EXPECT_EQ(init_count(), 0u);
        EXPECT_EQ(OverlayTable(), nullptr) << "a failed start must not leave tables behind";
        EXPECT_EQ(EngineStartup(nullptr, 0), 0) << "no buffer: still fails, writes nothing";
    }
    inject_startup_fault(StartupFault::kNone);
    EXPECT_EQ(EngineStartup(nullptr, 0), 1) << "a later start-up must not be blocked";
}

TEST_F(EngineStart, MessageIsCutAtTheBufferCapacity) {
    inject_startup_fault(StartupFault::kCpu);
    char16_t buffer[8];
    EXPECT_EQ(EngineStartup(buffer, 8), 0);
    EXPECT_EQ(std::u16string(buffer), u"The ins");
}

TEST_F(EngineStart, ProcessorLevelAllowsTheWidePaths) {
    ASSERT_EQ(EngineStartup(nullptr, 0), 1);
    EXPECT_GE(cpu_level(), static_cast<std::uint32_t>(kCpuSse2));
    EXPECT_LE(cpu_level(), static_cast<std::uint32_t>(kCpuSse41));
    EXPECT_EQ(cpu_level(), detect_cpu_level());
}

TEST_F(EngineStart, TableCellsFollowTheirFormulas) {
    ASSERT_EQ(EngineStartup(nullptr, 0), 1);
    struct Cell {
        const BlendTable* table;
        const char* name;
        unsigned a, b, value;
    };
    const Cell cells[] = {
        // DivTable: b = 0 is 128; rounding by b/2; capped at 255.
        {DivTable(), "div", 0, 0, 128},
        {DivTable(), "div", 200, 0, 128},
        {DivTable(), "div", 100, 200, 128},
        {DivTable(), "div", 255, 1, 255},
        {DivTable(), "div", 1, 255, 1},
        {DivTable(), "div", 128, 255, 128},
        {DivTable(), "div", 3, 7, 109},
        // DodgeTableA: 256a / (b + 1), capped.
        {DodgeTableA(), "dodgeA", 255, 255, 255},
        {DodgeTableA(), "dodgeA", 50, 99, 128},
        {DodgeTableA(), "dodgeA", 100, 99, 255},
        {DodgeTableA(), "dodgeA", 0, 0, 0},
        // OverlayTable: the two halves meet at a = 127 / 128.
        {OverlayTable(), "overlay", 0, 200, 0},
        {OverlayTable(), "overlay", 127, 255, 254},
        {OverlayTable(), "overlay", 128, 0, 1},
        {OverlayTable(), "overlay", 255, 0, 255},
        {OverlayTable(), "overlay", 200, 100, 188},
        // DodgeTableB: 256a / (256 - b), capped.
        {DodgeTableB(), "dodgeB", 100, 0, 100},
        {DodgeTableB(), "dodgeB", 100, 255, 255},
        {DodgeTableB(), "dodgeB", 128, 128, 255},
        {DodgeTableB(), "dodgeB", 64, 128, 128},
        // BurnTable: b = 0 is 0; negative results clamp to 0; division truncates.
        {BurnTable(), "burn", 200, 0, 0},
        {BurnTable(), "burn", 255, 17, 255},
        {BurnTable(), "burn", 0, 255, 0},
        {BurnTable(), "burn", 200, 100, 115},
        {BurnTable(), "burn", 128, 255, 128},
    };
    for (const Cell& c : cells) {
        ASSERT_NE(c.table, nullptr);
        EXPECT_EQ((*c.table)(c.a, c.b), c.value) << c.name << "[" << c.a << "][" << c.b << "]";
    }
    // Dividing by 255 with rounding is the identity on a.
    for (unsigned a = 0; a < 256; ++a)
        EXPECT_EQ((*DivTable())(a, 255), a);
}

TEST_F(EngineStart, AbortFlagIsClearUntilACancel) {
    EXPECT_FALSE(resample_abort.load());
}

} // namespace
} // namespace vt::gfx
