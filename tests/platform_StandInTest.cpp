#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "RingTestSupport.h"
#include "qor/dbg/dbg_Enum.h"
#include "qor/os/os_Tick.h"

namespace {

using qor::s64;

TEST(SystemTick, DefaultSourceStrictlyIncreasesAcrossThreads) {
    constexpr int kCalls = 100000;
    std::vector<s64> first(kCalls);
    std::vector<s64> second(kCalls);
    std::thread other([&] {
        for (s64& tick : second) {
            tick = qor::svc::GetSystemTick();
        }
    });
    for (s64& tick : first) {
        tick = qor::os::Tick::GetSystemCurrent();
    }
    other.join();

    for (const std::vector<s64>* ticks : {&first, &second}) {
        ASSERT_GE(ticks->front(), 0);
        for (int i = 1; i < kCalls; ++i) {
            ASSERT_LT((*ticks)[i - 1], (*ticks)[i]) << "call " << i;
        }
    }
    std::vector<s64> all(first);
    all.insert(all.end(), second.begin(), second.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.end(), std::adjacent_find(all.begin(), all.end()))
        << "two threads were handed the same tick";
}

s64 FixedTick() {
    return 77;
}

TEST(SystemTick, SetSourceReturnsThePreviousAndNullRestoresTheDefault) {
    EXPECT_EQ(nullptr, qor::svc::SetSystemTickSource(&FixedTick));
    EXPECT_EQ(77, static_cast<s64>(qor::os::Tick::GetSystemCurrent()));
    EXPECT_EQ(&FixedTick, qor::svc::SetSystemTickSource(nullptr));
    EXPECT_GT(qor::svc::GetSystemTick(), 77);
}

TEST(BreakFacility, HandlerReceivesTheFormattedReport) {
    qor::test::RecordingBreakHandler handler;
    qordbgBreakWithTMessage_(QOR_DBG_BREAK_REASON_ASSERT, "unit.cpp", 12, "%s = %d", "count", 3);
    const std::vector<qor::test::BreakReport> reports = handler.Take();
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(QOR_DBG_BREAK_REASON_ASSERT, reports[0].reason);
    EXPECT_EQ("unit.cpp", reports[0].fileName);
    EXPECT_EQ(12, reports[0].line);
    EXPECT_EQ("count = 3", reports[0].message);
}

TEST(BreakFacilityDeathTest, DefaultHandlerNamesFileLineAndMessageThenAborts) {
    EXPECT_DEATH(qordbgBreakWithTMessage_(QOR_DBG_BREAK_REASON_ASSERT, "unit.cpp", 12, "%s",
                                          "NULL != pBuffers"),
                 "unit.cpp:12: .*NULL != pBuffers");
}

}  // namespace
