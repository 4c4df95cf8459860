// A reader stalled between two of its cell reads while the writer moves on.
// This file is built three times: over the mended ring, and with each of the
// two reader mends switched off, where the same scenario must show the fault.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ReadChecks.h"
#include "RingTestSupport.h"
#include "fnd_HookedInterlocked.h"

namespace {

using qor::s32;
using qor::s64;
using qor::fnd::Test::CellAccess;
using qor::fnd::Test::ScopedCellHook;
using namespace qor::test;

#if defined(QOR_HIDLOW_FAULT_UNCONFIRMED_SNAPSHOT)
constexpr bool kSnapshotConfirmed = false;
#else
constexpr bool kSnapshotConfirmed = true;
#endif
#if defined(QOR_HIDLOW_FAULT_REPORT_UNCONFIRMED)
constexpr bool kFailedChecksConfirmed = false;
#else
constexpr bool kFailedChecksConfirmed = true;
#endif

class StalledReaderTest : public ::testing::Test {
protected:
    StalledReaderTest() { MakeEmpty(m_ring); }

    // The reader stalls just before its first load of cell while action runs.
    void StallBefore(const volatile void* cell, std::function<void()> action) {
        m_stalls.push_back(Stall{cell, std::move(action), false});
    }

    // Reads with every stall armed. Empty when the read went right; otherwise
    // what went wrong: a report on this healthy ring, or delivered samples that
    // no consistent read can give.
    std::string ReadFault(s64 tick, s32 index, std::int64_t lastSeen) {
        s32 count = 0;
        {
            ScopedCellHook hook([this](const volatile void* address, CellAccess access) {
                for (Stall& stall : m_stalls) {
                    if (access == CellAccess::kLoad && address == stall.cell && !stall.done) {
                        stall.done = true;
                        stall.action();
                    }
                }
            });
            m_ring.ReadData(m_delivered, 8, &count, &tick, &index);
        }
        for (const Stall& stall : m_stalls) {
            EXPECT_TRUE(stall.done) << "the reader never reached a stall point";
        }
        std::string fault = ReadViolation(m_delivered, count, lastSeen, index);
        for (const BreakReport& report : m_breaks.Take()) {
            fault += "report on a healthy ring: " + report.message;
        }
        if (fault.empty() && count == 0) {
            fault = "nothing delivered";
        }
        return fault;
    }

    struct Stall {
        const volatile void* cell;
        std::function<void()> action;
        bool done;
    };

    PadLifoRing m_ring;
    SteppedTick m_tick;
    RecordingBreakHandler m_breaks;
    SequenceWriter m_writer{m_ring};
    std::vector<Stall> m_stalls;
    PadStatus m_delivered[8] = {};
};

// The reader reads pointer 5 in lap 1, stalls while the writer laps to slot 2
// of lap 2, reads lap 2's ticks, and while it copies slot 5 the writer brings
// the pointer back to 5: every re-checked control matches the snapshot.
TEST_F(StalledReaderTest, ReaderStalledAcrossALapStartRejectsItsStitchedSnapshot) {
    m_writer.Write(6);  // lap 1, pointer 5; the reader has seen up to sample 2
    StallBefore(&m_ring.m_tickWriteZero.m_v, [this] { m_writer.Write(5); });
    StallBefore(&m_ring.m_buffers[5].stick.x.m_v, [this] { m_writer.Write(3); });

    const std::string fault = ReadFault(1000, 2, 2);
    if (kSnapshotConfirmed) {
        EXPECT_EQ("", fault);
    } else {
        EXPECT_NE(std::string::npos, fault.find("torn")) << fault;
    }
}

// The reader reads pointer 0 and lap 1's tick in the instant between the
// writer's pointer store and its new lap tick store, stalls while the writer
// completes lap 2 and begins lap 3, then reads lap 3's old tick: a snapshot
// the ring was never in, on which "0 <= readCount" fails.
TEST_F(StalledReaderTest, CheckOnASnapshotTakenAcrossALapStartDoesNotFire) {
    m_writer.Write(8);  // lap 1, pointer 7; the reader has seen up to sample 5
    StoreByHand(m_ring.m_buffers[0], MakeSample(m_writer.Next()++));
    m_ring.m_oldTickWriteZero = 1000;
    m_ring.m_writePointer = 0;  // the writer pauses before storing lap 2's tick
    StallBefore(&m_ring.m_oldTickWriteZero.m_v, [this] {
        m_ring.m_tickWriteZero = 2000;
        m_writer.Write(8);
    });

    const std::string fault = ReadFault(1000, 5, 5);
    if (kFailedChecksConfirmed) {
        EXPECT_EQ("", fault);
    } else {
        EXPECT_NE(std::string::npos, fault.find("report on a healthy ring: 0 <= readCount"))
            << fault;
    }
}

}  // namespace
