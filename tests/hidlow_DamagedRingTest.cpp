// Whatever bytes another process scribbles over the record, neither operation
// may touch memory outside the record and the caller's buffers, and a reader
// that reports leaves its cursor alone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "RingTestSupport.h"
#include "fnd_HookedInterlocked.h"

namespace {

using qor::s32;
using qor::s64;
using qor::fnd::Test::CellAccess;
using qor::fnd::Test::ScopedCellHook;
using namespace qor::test;

template <typename T>
T Pick(std::mt19937_64& random, std::initializer_list<T> edges) {
    if (random() % 4 == 0) {
        return static_cast<T>(random());
    }
    return edges.begin()[random() % edges.size()];
}

TEST(DamagedRing, NoControlBytesLeadEitherOperationOutsideTheRecord) {
    constexpr s64 kMax = std::numeric_limits<s64>::max();
    constexpr s64 kMin = std::numeric_limits<s64>::min();
    constexpr s32 kMax32 = std::numeric_limits<s32>::max();
    constexpr s32 kMin32 = std::numeric_limits<s32>::min();
    std::mt19937_64 random(20261206);
    RecordingBreakHandler breaks;
    PadLifoRing ring;
    long outside = 0;
    long reports = 0;

    // The ring operations may touch the three control fields and the slots,
    // nothing else: not even the record's other fields.
    ScopedCellHook hook([&](const volatile void* address, CellAccess) {
        const auto* byte = static_cast<const volatile unsigned char*>(address);
        const auto* controls = reinterpret_cast<const unsigned char*>(&ring);
        const auto* slots = reinterpret_cast<const unsigned char*>(&ring.m_buffers);
        const bool inControls = byte >= controls && byte < controls + 20;
        const bool inSlots = byte >= slots && byte < slots + sizeof ring.m_buffers;
        outside += !inControls && !inSlots;
    });

    for (int round = 0; round < 20000; ++round) {
        unsigned char bytes[sizeof ring];
        for (unsigned char& b : bytes) {
            b = static_cast<unsigned char>(random());
        }
        std::memcpy(reinterpret_cast<unsigned char*>(&ring), bytes, sizeof ring);
        ring.m_writePointer = Pick<s32>(random, {kMin32, -2, -1, 0, 1, 6, 7, 8, 9, kMax32});
        const std::initializer_list<s64> ticks = {kMin, -2, -1, 0, 999, 1000, 2000, kMax};
        ring.m_tickWriteZero = Pick<s64>(random, ticks);
        ring.m_oldTickWriteZero = Pick<s64>(random, ticks);

        const s64 startTick = Pick<s64>(random, ticks);
        const s32 startIndex = Pick<s32>(random, {-2, -1, 0, 3, 7, 8, kMax32});
        // Never more room than the 8 entries below, which is more than a read may fill.
        const s32 bufferNum = std::min(Pick<s32>(random, {kMin32, -1, 0, 1, 3, 7, 8}), 8);
        s64 tick = startTick;
        s32 index = startIndex;
        s32 count = -1;
        PadStatus buffers[8];
        const PadStatus untouched = MakeSample(0xfeed);
        for (PadStatus& entry : buffers) {
            entry = untouched;
        }
        ring.ReadData(buffers, bufferNum, &count, &tick, &index);

        const bool reported = !breaks.Take().empty();
        reports += reported;
        const s32 maxRead = std::clamp(bufferNum, 0, 7);
        ASSERT_TRUE(0 <= count && count <= maxRead) << "round " << round << ": " << count;
        for (s32 i = maxRead; i < 8; ++i) {
            ASSERT_EQ(0xfeed, SequenceOf(buffers[i])) << "round " << round << " wrote entry " << i;
        }
        if (reported) {
            ASSERT_EQ(0, count) << "round " << round;
            ASSERT_EQ(startTick, tick) << "round " << round;
            ASSERT_EQ(startIndex, index) << "round " << round;
        }

        PadStatus batch[20];
        for (PadStatus& sample : batch) {
            sample = MakeSample(static_cast<std::uint32_t>(random()));
        }
        ring.WriteData(batch, static_cast<s32>(random() % 21));
        breaks.Take();
        ASSERT_EQ(0, outside) << "round " << round;
    }
    EXPECT_GT(reports, 1000) << "the damage should have been reported often";
}

}  // namespace
