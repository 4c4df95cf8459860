#include <gtest/gtest.h>

#include <vector>

#include "RingTestSupport.h"
#include "os_MonotonicTicks.h"
#include "qor/dbg/dbg_Enum.h"
#include "qor/os/os_Tick.h"

namespace {

using qor::s64;

TEST(SystemTick, DefaultSourceIsNonNegativeAndNeverRepeatsOrGoesBack) {
    const s64 first = qor::svc::GetSystemTick();
    EXPECT_GE(first, 0);
    EXPECT_LT(first, qor::os::Tick::GetSystemCurrent());

    // The same clock value twice, or an earlier one, still yields a later tick.
    qor::svc::MonotonicTicks ticks;
    EXPECT_EQ(5, ticks.Next(5));
    EXPECT_EQ(6, ticks.Next(5));
    EXPECT_EQ(7, ticks.Next(3));
    EXPECT_EQ(100, ticks.Next(100));
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
