#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
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
using namespace qor::test;
using Sequences = std::vector<std::int64_t>;

constexpr s64 kLap1 = 1000;
constexpr s64 kLap2 = 2000;
constexpr s64 kLap3 = 3000;
constexpr s64 kLap4 = 4000;

struct Cursor {
    s64 tick;
    s32 index;
};

using Missed = qor::hidlow::QVA::PadLifoRingMissed;

// Sample n (from 0) lands in slot n % 8 of lap n / 8 + 1, stamped k * 1000.
class PadLifoRingTest : public ::testing::Test {
protected:
    // ReadData, or the counting read when missed is given.
    Sequences Read(Cursor& cursor, s32 bufferNum, Missed* missed = nullptr) {
        PadStatus buffers[10];
        s32 count = -1;
        if (missed == nullptr) {
            m_ring.ReadData(buffers, bufferNum, &count, &cursor.tick, &cursor.index);
        } else {
            *missed = m_ring.ReadDataCountingMissed(buffers, bufferNum, &count, &cursor.tick,
                                                    &cursor.index);
        }
        Sequences sequences;
        for (s32 i = 0; i < count; ++i) {
            sequences.push_back(SequenceOf(buffers[i]));
        }
        return sequences;
    }

    void ExpectControls(s32 pointer, s64 tick, s64 oldTick) {
        EXPECT_EQ(pointer, static_cast<s32>(m_ring.m_writePointer));
        EXPECT_EQ(tick, static_cast<s64>(m_ring.m_tickWriteZero));
        EXPECT_EQ(oldTick, static_cast<s64>(m_ring.m_oldTickWriteZero));
    }

    PadLifoRing m_ring{};  // empty as made, as a user makes one
    SequenceWriter m_writer{m_ring};
    SteppedTick m_tick;
    RecordingBreakHandler m_breaks;
};

TEST_F(PadLifoRingTest, SamplesFillSlotsInRingOrderAndEachSlotZeroStampsALap) {
    m_writer.Write(1);
    ExpectControls(0, kLap1, -1);
    m_writer.Write(3);
    m_writer.Write(8);  // slots 4..7, then 0..3 after a new lap at its fifth sample
    ExpectControls(3, kLap2, kLap1);
    for (int slot = 0; slot < 8; ++slot) {
        EXPECT_EQ(slot < 4 ? 8 + slot : slot, SequenceInSlot(m_ring.m_buffers[slot]));
    }
    m_writer.Write(20);  // laps begin at its 5th and 13th sample
    m_writer.Write(0);
    m_writer.Write(-5);
    EXPECT_EQ(4, SteppedTick::Calls());
    ExpectControls(7, kLap4, kLap3);
}

struct ReadCase {
    const char* behaviour;
    int written;
    Cursor cursor;
    s32 bufferNum;
    Sequences delivered;
    Cursor after;
    Missed missed;  // by the counting read; ReadData delivers the same
    // The writer stopped between the two lap tick stores: the ticks are equal.
    bool lapStarting = false;
};

// newest, newest - 1, ..., count of them.
Sequences Down(std::int64_t newest, int count) {
    Sequences sequences;
    for (int i = 0; i < count; ++i) {
        sequences.push_back(newest - i);
    }
    return sequences;
}

TEST_F(PadLifoRingTest, ReaderGetsTheNewestUnseenSamplesNewestFirstAndCountsWhatItPassedOver) {
    const ReadCase cases[] = {
        {"empty ring", 0, {-1, -1}, 8, {}, {-1, -1}, {0, true}},
        {"first lap, new reader", 5, {-1, -1}, 8, {4, 3, 2, 1, 0}, {kLap1, 4}, {0, true}},
        {"first lap, up to date", 5, {kLap1, 4}, 8, {}, {kLap1, 4}, {0, true}},
        {"first lap, reader at slot 3", 8, {kLap1, 3}, 8, {7, 6, 5, 4}, {kLap1, 7}, {0, true}},
        {"eight written give seven", 8, {-1, -1}, 10, Down(7, 7), {kLap1, 7}, {0, true}},
        {"second lap, new reader", 9, {-1, -1}, 8, Down(8, 7), {kLap2, 0}, {0, true}},
        {"one behind across the lap", 9, {kLap1, 7}, 8, {8}, {kLap2, 0}, {0, true}},
        {"six behind across the lap", 9, {kLap1, 2}, 8, Down(8, 6), {kLap2, 0}, {0, true}},
        {"previous lap reader", 11, {kLap1, 5}, 10, {10, 9, 8, 7, 6}, {kLap2, 2}, {0, true}},
        {"previous lap, room for 3", 11, {kLap1, 5}, 3, {10, 9, 8}, {kLap2, 2}, {2, true}},
        {"second lap, up to date", 11, {kLap2, 2}, 10, {}, {kLap2, 2}, {0, true}},
        {"two laps behind", 21, {kLap1, 3}, 8, Down(20, 7), {kLap3, 4}, {10, false}},
        {"three laps behind", 29, {kLap1, 3}, 8, Down(28, 7), {kLap4, 4}, {10, false}},
        {"lap start, one behind", 16, {kLap1, 5}, 8, Down(15, 7), {kLap2, 7}, {3, false}, true},
        {"a cursor older than the ring", 5, {500, 3}, 8, Down(4, 5), {kLap1, 4}, {0, false}},
        {"small buffer skips older", 7, {kLap1, 1}, 3, {6, 5, 4}, {kLap1, 6}, {2, true}},
        {"no room", 7, {kLap1, 1}, 0, {}, {kLap1, 1}, {0, true}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.behaviour);
        MakeEmpty(m_ring);
        SteppedTick::Calls() = 0;
        m_writer.Next() = 0;
        m_writer.Write(c.written);
        if (c.lapStarting) {
            m_ring.m_oldTickWriteZero = static_cast<s64>(m_ring.m_tickWriteZero);
        }
        Missed missed{-1, !c.missed.exact};
        for (Missed* counted : {static_cast<Missed*>(nullptr), &missed}) {
            Cursor cursor = c.cursor;
            EXPECT_EQ(c.delivered, Read(cursor, c.bufferNum, counted));
            EXPECT_EQ(c.after.tick, cursor.tick);
            EXPECT_EQ(c.after.index, cursor.index);
            EXPECT_TRUE(Read(cursor, c.bufferNum).empty()) << "a second read delivered again";
        }
        EXPECT_EQ(c.missed.count, missed.count);
        EXPECT_EQ(c.missed.exact, missed.exact);
        Cursor after = c.after;
        Read(after, c.bufferNum, &missed);
        EXPECT_EQ(0, missed.count) << "nothing new, nothing missed";
    }
    EXPECT_TRUE(m_breaks.Take().empty());
}

TEST_F(PadLifoRingTest, NeitherOperationAllocates) {
    m_writer.Write(3);
    PadStatus batch[20] = {};
    PadStatus buffers[8];
    s32 count = 0;
    Cursor cursor{-1, -1};
    const long before = g_allocations;
    m_ring.WriteData(batch, 20);
    m_ring.ReadData(buffers, 8, &count, &cursor.tick, &cursor.index);
    EXPECT_EQ(before, g_allocations.load());
    EXPECT_EQ(7, count);
    ::operator delete(::operator new(sizeof(int)));  // a call, which may not be elided
    EXPECT_EQ(before + 1, g_allocations.load()) << "the counter must see allocations";
}

// Each failed check names its exact condition and its file; then nothing
// changes but *pReadCount, which becomes 0.
TEST_F(PadLifoRingTest, FailedChecksReportTheirConditionAndChangeNothing) {
    m_writer.Write(5);  // lap 1, pointer 4
    const char* const kNullPointer =
        "NULL != pBuffers && NULL != pReadCount && NULL != pTick && NULL != pIndex";
    enum Null { kNone, kBuffers, kReadCount, kTick, kIndex };
    struct Case {
        const char* condition;
        Cursor cursor;
        Null null;
        s32 pointer;
    };
    const Case cases[] = {
        {kNullPointer, {-1, -1}, kBuffers, 4},
        {kNullPointer, {-1, -1}, kReadCount, 4},
        {kNullPointer, {-1, -1}, kTick, 4},
        {kNullPointer, {-1, -1}, kIndex, 4},
        {"-1 <= *pIndex && PAD_LIFORING_BUFFER_NUM > *pIndex", {kLap1, 8}, kNone, 4},
        {"-1 <= *pIndex && PAD_LIFORING_BUFFER_NUM > *pIndex", {-1, -2}, kNone, 4},
        {"(*pIndex >= 0) == (*pTick >= 0)", {kLap1, -1}, kNone, 4},
        {"(*pIndex >= 0) == (*pTick >= 0)", {-1, 3}, kNone, 4},
        {"*pTick <= tickWriteZero", {kLap2, 1}, kNone, 4},
        {"0 <= readCount", {kLap1, 6}, kNone, 4},
        {"-1 <= writePointer && PAD_LIFORING_BUFFER_NUM > writePointer", {-1, -1}, kNone, 8},
        {"-1 <= writePointer && PAD_LIFORING_BUFFER_NUM > writePointer", {-1, -1}, kNone, -7},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.condition);
        m_ring.m_writePointer = c.pointer;
        Cursor cursor = c.cursor;
        PadStatus buffers[8];
        std::fill_n(buffers, 8, PadSample(0xfeed));
        s32 count = -1;
        m_ring.ReadData(
            c.null == kBuffers ? nullptr : buffers, 8, c.null == kReadCount ? nullptr : &count,
            c.null == kTick ? nullptr : &cursor.tick, c.null == kIndex ? nullptr : &cursor.index);
        const std::vector<BreakReport> reports = m_breaks.Take();
        ASSERT_EQ(1u, reports.size());
        EXPECT_EQ(QOR_DBG_BREAK_REASON_ASSERT, reports[0].reason);
        EXPECT_EQ("hidlow_PadLifoRing.cpp", reports[0].fileName);
        EXPECT_EQ(c.condition, reports[0].message);
        EXPECT_GT(reports[0].line, 0);
        EXPECT_EQ(c.null == kReadCount ? -1 : 0, count);
        EXPECT_EQ(c.cursor.tick, cursor.tick);
        EXPECT_EQ(c.cursor.index, cursor.index);
        for (const PadStatus& entry : buffers) {
            EXPECT_EQ(0xfeed, SequenceOf(entry));
        }
    }

    m_ring.m_writePointer = 4;
    m_ring.WriteData(nullptr, 1);
    m_ring.m_writePointer = 12;
    m_writer.Write(1);
    const std::vector<BreakReport> reports = m_breaks.Take();
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ("NULL != pBuffers", reports[0].message);
    EXPECT_EQ("-1 <= tmpWritePointer && PAD_LIFORING_BUFFER_NUM > tmpWritePointer",
              reports[1].message);
    EXPECT_EQ(12, static_cast<s32>(m_ring.m_writePointer));
    for (int slot = 0; slot < 5; ++slot) {
        EXPECT_EQ(slot, SequenceInSlot(m_ring.m_buffers[slot]));
    }
}

}  // namespace
