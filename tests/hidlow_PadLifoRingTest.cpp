#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "RingTestSupport.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

// Counts every allocation in this test program, so a test can prove that the
// ring operations make none. Kept out of line: inlined into callers, GCC takes
// the malloc/free pair for a mismatched new/delete.
__attribute__((noinline)) void* operator new(std::size_t size) {
    ++g_allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) {
        return p;
    }
    throw std::bad_alloc();
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using qor::s32;
using qor::s64;
using qor::hidlow::QVA::PadLifoRing;
using namespace qor::test;

constexpr s64 kLap1 = 1000;
constexpr s64 kLap2 = 2000;
constexpr s64 kLap3 = 3000;

struct Cursor {
    s64 tick = -1;
    s32 index = -1;
};

struct ReadResult {
    s32 count;
    std::vector<std::int64_t> sequences;  // newest first
};

// Sample n (from 0) goes to slot n % 8 in lap n / 8 + 1, whose tick is
// SteppedTick::LapTick(lap) when every lap is begun by this fixture's writer.
class PadLifoRingTest : public ::testing::Test {
protected:
    PadLifoRingTest() { MakeEmpty(m_ring); }

    void Write(int count) {
        std::vector<PadStatus> batch;
        for (int i = 0; i < count; ++i) {
            batch.push_back(MakeSample(m_nextSequence++));
        }
        m_ring.WriteData(batch.data(), count);
    }

    ReadResult Read(Cursor& cursor, s32 bufferNum) {
        PadStatus buffers[10];
        ReadResult result{-99, {}};
        m_ring.ReadData(buffers, bufferNum, &result.count, &cursor.tick, &cursor.index);
        for (s32 i = 0; i < result.count; ++i) {
            result.sequences.push_back(SequenceOf(buffers[i]));
        }
        return result;
    }

    std::int64_t SlotSequence(int slot) const {
        const qor::hidlow::QVA::IPadStatus& cells = m_ring.m_buffers[slot];
        PadStatus sample{cells.hold, cells.trigger, cells.release, {cells.stick.x, cells.stick.y}};
        return SequenceOf(sample);
    }

    PadLifoRing m_ring;
    SteppedTick m_tick;
    RecordingBreakHandler m_breaks;
    std::uint32_t m_nextSequence = 0;
};

using Sequences = std::vector<std::int64_t>;

TEST_F(PadLifoRingTest, FirstSampleFillsSlotZeroAndBeginsTheFirstLap) {
    Write(1);
    EXPECT_EQ(0, SlotSequence(0));
    EXPECT_EQ(0, static_cast<s32>(m_ring.m_writePointer));
    EXPECT_EQ(-1, static_cast<s64>(m_ring.m_oldTickWriteZero));
    EXPECT_EQ(kLap1, static_cast<s64>(m_ring.m_tickWriteZero));
}

TEST_F(PadLifoRingTest, NinthSingleSampleBeginsTheSecondLap) {
    for (int i = 0; i < 8; ++i) {
        Write(1);
    }
    EXPECT_EQ(7, static_cast<s32>(m_ring.m_writePointer));
    EXPECT_EQ(1, SteppedTick::Calls());
    Write(1);
    EXPECT_EQ(0, static_cast<s32>(m_ring.m_writePointer));
    EXPECT_EQ(8, SlotSequence(0));
    EXPECT_EQ(kLap1, static_cast<s64>(m_ring.m_oldTickWriteZero));
    EXPECT_EQ(kLap2, static_cast<s64>(m_ring.m_tickWriteZero));
}

TEST_F(PadLifoRingTest, BatchesWrapInRingOrderAndStampEveryLap) {
    Write(4);
    Write(8);  // slots 4..7, then 0..3 after a new lap at the fifth sample
    EXPECT_EQ(3, static_cast<s32>(m_ring.m_writePointer));
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(slot < 4 ? 8 + slot : slot, SlotSequence(slot)) << "slot " << slot;
    }
    EXPECT_EQ(2, SteppedTick::Calls());

    MakeEmpty(m_ring);
    SteppedTick::Calls() = 0;
    Write(20);  // laps begin at its 1st, 9th and 17th sample
    EXPECT_EQ(3, SteppedTick::Calls());
    EXPECT_EQ(3, static_cast<s32>(m_ring.m_writePointer));
    EXPECT_EQ(kLap3, static_cast<s64>(m_ring.m_tickWriteZero));
    EXPECT_EQ(kLap2, static_cast<s64>(m_ring.m_oldTickWriteZero));
}

TEST_F(PadLifoRingTest, EmptyOrNegativeBatchChangesNothingAndReadsNoTick) {
    Write(3);
    const int calls = SteppedTick::Calls();
    PadStatus sample = MakeSample(1);
    m_ring.WriteData(&sample, 0);
    m_ring.WriteData(&sample, -5);
    EXPECT_EQ(2, static_cast<s32>(m_ring.m_writePointer));
    EXPECT_EQ(calls, SteppedTick::Calls());
}

s64 StandingTick() {
    return 5;
}

TEST_F(PadLifoRingTest, LapTicksStrictlyIncreaseEvenWhenTheTickStandsStill) {
    const qor::svc::SystemTickSource stepped = qor::svc::SetSystemTickSource(&StandingTick);
    Write(20);
    const s64 third = m_ring.m_tickWriteZero;
    const s64 second = m_ring.m_oldTickWriteZero;
    EXPECT_LT(second, third);
    EXPECT_GE(second, 5);
    Write(8);
    EXPECT_EQ(third, static_cast<s64>(m_ring.m_oldTickWriteZero));
    EXPECT_LT(third, static_cast<s64>(m_ring.m_tickWriteZero));
    qor::svc::SetSystemTickSource(stepped);
}

TEST_F(PadLifoRingTest, FirstLapReaderGetsEverySampleNewestFirstThenNothing) {
    Write(5);
    Cursor cursor;
    ReadResult read = Read(cursor, 8);
    EXPECT_EQ(5, read.count);
    EXPECT_EQ((Sequences{4, 3, 2, 1, 0}), read.sequences);
    EXPECT_EQ(kLap1, cursor.tick);
    EXPECT_EQ(4, cursor.index);

    read = Read(cursor, 8);
    EXPECT_EQ(0, read.count);
    EXPECT_EQ(kLap1, cursor.tick);
    EXPECT_EQ(4, cursor.index);

    Write(3);  // pointer 7, still the first lap
    cursor.index = 3;
    EXPECT_EQ((Sequences{7, 6, 5, 4}), Read(cursor, 8).sequences);
}

TEST_F(PadLifoRingTest, EightSamplesWrittenDeliverSevenLeavingTheOldest) {
    Write(8);
    Cursor cursor;
    EXPECT_EQ((Sequences{7, 6, 5, 4, 3, 2, 1}), Read(cursor, 10).sequences);
    EXPECT_EQ(kLap1, cursor.tick);
    EXPECT_EQ(7, cursor.index);
}

TEST_F(PadLifoRingTest, ReaderOneLapBehindGetsWhatItHasNotSeen) {
    Write(9);  // lap 2 with pointer 0
    Cursor fresh;
    EXPECT_EQ((Sequences{8, 7, 6, 5, 4, 3, 2}), Read(fresh, 8).sequences);
    EXPECT_EQ(kLap2, fresh.tick);
    EXPECT_EQ(0, fresh.index);
    Cursor sawSlot7{kLap1, 7};
    EXPECT_EQ((Sequences{8}), Read(sawSlot7, 8).sequences);
    Cursor sawSlot2{kLap1, 2};
    EXPECT_EQ((Sequences{8, 7, 6, 5, 4, 3}), Read(sawSlot2, 8).sequences);

    Write(2);  // lap 2 with pointer 2
    Cursor sawSlot5{kLap1, 5};
    EXPECT_EQ((Sequences{10, 9, 8, 7, 6}), Read(sawSlot5, 10).sequences);
    EXPECT_EQ(kLap2, sawSlot5.tick);
    EXPECT_EQ(2, sawSlot5.index);
    EXPECT_EQ(0, Read(sawSlot5, 10).count);
}

TEST_F(PadLifoRingTest, ReaderTwoLapsBehindGetsSevenNewest) {
    Write(4);
    Cursor cursor;
    Read(cursor, 8);  // (lap 1, slot 3)
    Write(17);        // lap 3 with pointer 4
    EXPECT_EQ((Sequences{20, 19, 18, 17, 16, 15, 14}), Read(cursor, 8).sequences);
    EXPECT_EQ(kLap3, cursor.tick);
    EXPECT_EQ(4, cursor.index);
}

TEST_F(PadLifoRingTest, SmallBufferGetsTheNewestAndSkipsTheRestForGood) {
    Write(2);
    Cursor cursor;
    Read(cursor, 8);
    Write(5);
    EXPECT_EQ((Sequences{6, 5, 4}), Read(cursor, 3).sequences);
    EXPECT_EQ(6, cursor.index);
    EXPECT_EQ(0, Read(cursor, 3).count);

    PadStatus untouched = MakeSample(1234);
    s32 count = -1;
    m_ring.ReadData(&untouched, 0, &count, &cursor.tick, &cursor.index);
    EXPECT_EQ(0, count);
    EXPECT_EQ(1234, SequenceOf(untouched));
}

// The writer has filled slot 0 and stored pointer 0 but not yet the new lap's
// tick: both lap ticks are equal, and slot 7 is still the newest sample.
TEST_F(PadLifoRingTest, PointerZeroWithEqualTicksReadsFromSlotSeven) {
    Write(8);
    const PadStatus ninth = MakeSample(8);
    qor::hidlow::QVA::IPadStatus& slot0 = m_ring.m_buffers[0];
    slot0.hold = ninth.hold;
    slot0.trigger = ninth.trigger;
    slot0.release = ninth.release;
    slot0.stick.x = ninth.stick.x;
    slot0.stick.y = ninth.stick.y;
    m_ring.m_oldTickWriteZero = kLap1;
    m_ring.m_writePointer = 0;

    Cursor cursor;
    EXPECT_EQ((Sequences{7, 6, 5, 4, 3, 2, 1}), Read(cursor, 8).sequences);
    EXPECT_EQ(kLap1, cursor.tick);
    EXPECT_EQ(7, cursor.index);
    EXPECT_EQ(0, Read(cursor, 8).count);

    // The writer stores the new lap tick and goes on to slot 3.
    m_ring.m_tickWriteZero = kLap2;
    m_nextSequence = 9;
    Write(3);
    EXPECT_EQ((Sequences{11, 10, 9, 8}), Read(cursor, 8).sequences);
    EXPECT_EQ(kLap2, cursor.tick);
    EXPECT_EQ(3, cursor.index);
}

TEST_F(PadLifoRingTest, NothingIsDeliveredBeforeTheFirstLapTick) {
    for (int slot = 0; slot < 8; ++slot) {
        m_ring.m_buffers[slot].hold = 0xdead;
    }
    Cursor cursor;
    EXPECT_EQ(0, Read(cursor, 8).count);
    m_ring.m_writePointer = 0;  // first sample stored, first lap tick not yet
    EXPECT_EQ(0, Read(cursor, 8).count);
    EXPECT_EQ(-1, cursor.tick);
    EXPECT_EQ(-1, cursor.index);
    EXPECT_TRUE(m_breaks.Take().empty());
}

TEST_F(PadLifoRingTest, NeitherOperationAllocates) {
    Write(3);
    Cursor cursor;
    const long before = g_allocations;
    PadStatus batch[20] = {};
    m_ring.WriteData(batch, 20);
    PadStatus buffers[8];
    s32 count = 0;
    m_ring.ReadData(buffers, 8, &count, &cursor.tick, &cursor.index);
    EXPECT_EQ(before, g_allocations.load());
    EXPECT_EQ(7, count);
}

std::string SourceLine(int line) {
    std::ifstream source(QOR_RING_SOURCE);
    std::string text;
    for (int i = 0; i < line && std::getline(source, text); ++i) {
    }
    return text;
}

// Each failed check names its exact condition, its file and a line that holds
// a check; then nothing changes: the ring, the cursor, *pReadCount stays 0.
TEST_F(PadLifoRingTest, FailedChecksReportTheirConditionAndChangeNothing) {
    Write(5);  // lap 1, pointer 4
    PadStatus buffers[8];
    s32 count = -1;

    struct Case {
        const char* condition;
        Cursor cursor;
        bool nullCount;
        s32 damagedPointer;
    };
    const Case cases[] = {
        {"NULL != pBuffers && NULL != pReadCount && NULL != pTick && NULL != pIndex",
         {-1, -1},
         true,
         4},
        {"-1 <= *pIndex && PAD_LIFORING_BUFFER_NUM > *pIndex", {kLap1, 8}, false, 4},
        {"-1 <= *pIndex && PAD_LIFORING_BUFFER_NUM > *pIndex", {-1, -2}, false, 4},
        {"(*pIndex >= 0) == (*pTick >= 0)", {kLap1, -1}, false, 4},
        {"(*pIndex >= 0) == (*pTick >= 0)", {-1, 3}, false, 4},
        {"*pTick <= tickWriteZero", {kLap2, 1}, false, 4},
        {"0 <= readCount", {kLap1, 6}, false, 4},
        {"-1 <= writePointer && PAD_LIFORING_BUFFER_NUM > writePointer", {-1, -1}, false, 8},
        {"-1 <= writePointer && PAD_LIFORING_BUFFER_NUM > writePointer", {-1, -1}, false, -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        m_ring.m_writePointer = c.damagedPointer;
        Cursor cursor = c.cursor;
        count = -1;
        m_ring.ReadData(buffers, 8, c.nullCount ? nullptr : &count, &cursor.tick, &cursor.index);
        const std::vector<BreakReport> reports = m_breaks.Take();
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ(QOR_DBG_BREAK_REASON_ASSERT, reports[0].reason);
        EXPECT_EQ("hidlow_PadLifoRing.cpp", reports[0].fileName);
        EXPECT_EQ(c.condition, reports[0].message);
        EXPECT_NE(std::string::npos, SourceLine(reports[0].line).find("QOR_HIDLOW_"))
            << "line " << reports[0].line << " holds no check";
        EXPECT_EQ(c.nullCount ? -1 : 0, count);
        EXPECT_EQ(c.cursor.tick, cursor.tick);
        EXPECT_EQ(c.cursor.index, cursor.index);
    }

    m_ring.m_writePointer = 4;
    m_ring.WriteData(nullptr, 1);
    m_ring.m_writePointer = 12;
    PadStatus sample = MakeSample(99);
    m_ring.WriteData(&sample, 1);
    const std::vector<BreakReport> reports = m_breaks.Take();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ("NULL != pBuffers", reports[0].message);
    EXPECT_EQ("-1 <= tmpWritePointer && PAD_LIFORING_BUFFER_NUM > tmpWritePointer",
              reports[1].message);
    EXPECT_EQ(12, static_cast<s32>(m_ring.m_writePointer));
    for (int slot = 0; slot < 5; ++slot) {
        EXPECT_EQ(slot, SlotSequence(slot));
    }
}

}  // namespace
