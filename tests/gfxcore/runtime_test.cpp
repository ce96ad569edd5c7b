#include <gtest/gtest.h>

#include <string>
#include <tuple>

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
    using Row = std::tuple<StartupFault, std::u16string>;
    const Row cases[] = {
        {StartupFault::kLock, u"Failed to initialize TLS synchronization object"},
        {StartupFault::kCpu, u"The installed CPU does not support SSE2"},
        {StartupFault::kTables, u"Internal buffer allocation failed, check RAM"},
    };
    for (const auto& [fault, message] : cases) {
        inject_startup_fault(fault);
        char16_t buffer[80] = {u'x'};
        EXPECT_EQ(EngineStartup(buffer, 80), 0);
        EXPECT_EQ(std::u16string(buffer), message);
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

} // namespace
} // namespace vt::gfx
