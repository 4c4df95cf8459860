#include "qor/fnd/fnd_Interlocked.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <type_traits>
#include <vector>

#include "qor/types.h"

namespace {

using qor::s16;
using qor::s32;
using qor::s64;
using qor::fnd::InterlockedVariable;

#if defined(__arm__)
static_assert(std::is_same_v<qor::fnd::ProcessorInterlocked, qor::fnd::ARMv6::Interlocked>,
              "an ARM build must run its cells through the exclusive-access layer");
#endif

struct AddOne {
    template <typename T>
    bool operator()(T& value) const {
        value = static_cast<T>(value + 1);
        return true;
    }
};

TEST(InterlockedVariable, UpdaterDecidesWhetherTheCellIsWritten) {
    InterlockedVariable<s32> cell;
    cell = 41;

    int calls = 0;
    auto refuse = [&calls](s32& value) {
        ++calls;
        value = 99;  // a refusing updater's change must not reach the cell
        return false;
    };
    EXPECT_FALSE(cell.AtomicUpdateConditional(refuse));
    EXPECT_EQ(41, static_cast<s32>(cell));
    EXPECT_EQ(1, calls);

    AddOne addOne;
    EXPECT_TRUE(cell.AtomicUpdateConditional(addOne));
    EXPECT_EQ(42, static_cast<s32>(cell));

    cell = 42;  // the value it already holds
    EXPECT_EQ(42, static_cast<s32>(cell));

    InterlockedVariable<s32> copy;
    copy = cell;  // reads the source whole and stores it whole
    EXPECT_EQ(42, static_cast<s32>(copy));
}

// Each thread increments its own 16-bit half of one word and a shared 64-bit
// counter: a lost update or a store that clobbers the neighbouring cell shows.
TEST(InterlockedVariable, ConcurrentUpdatesAreNeitherLostNorSpillIntoNeighbours) {
    struct Pair {
        InterlockedVariable<s16> x;
        InterlockedVariable<s16> y;
    } pair;
    pair.x = 0;
    pair.y = 0;
    InterlockedVariable<s64> total;
    total = 0;

    constexpr int kIncrements = 30000;
    auto work = [&](InterlockedVariable<s16>& mine) {
        AddOne addOne;
        for (int i = 0; i < kIncrements; ++i) {
            mine.AtomicUpdateConditional(addOne);
            total.AtomicUpdateConditional(addOne);
        }
    };
    std::thread a(work, std::ref(pair.x));
    std::thread b(work, std::ref(pair.y));
    a.join();
    b.join();

    EXPECT_EQ(kIncrements, static_cast<s16>(pair.x));
    EXPECT_EQ(kIncrements, static_cast<s16>(pair.y));
    EXPECT_EQ(2 * kIncrements, static_cast<s64>(total));
}

// The writer only stores values whose two halves are equal; a torn read of a
// 64-bit cell would pair the halves of two different values.
TEST(InterlockedVariable, SixtyFourBitReadsNeverMixTwoWrites) {
    InterlockedVariable<s64> cell;
    cell = 0;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (s64 i = 1; i < 2000000; ++i) {
            const s64 half = (i & 1) != 0 ? 0x7fffffff : i;
            cell = (half << 32) | half;
        }
        done = true;
    });
    long mixed = 0;
    long reads = 0;
    while (!done) {
        const s64 value = cell;
        mixed += (value >> 32) != (value & 0xffffffff);
        ++reads;
    }
    writer.join();
    EXPECT_EQ(0, mixed) << "of " << reads << " reads";
}

// Four threads store their own 64-bit value over and over while the main
// thread reads: every read, and the value left at the end, is one of the four.
TEST(InterlockedVariable, ConcurrentAssignmentsLeaveExactlyOneOfTheValues) {
    constexpr s64 kValues[] = {0x1111111122222222, 0x3333333344444444, 0x5555555566666666,
                               0x7777777700000000};
    auto isOneOfTheValues = [&kValues](s64 value) {
        for (const s64 candidate : kValues) {
            if (value == candidate) {
                return true;
            }
        }
        return false;
    };
    InterlockedVariable<s64> cell;
    cell = kValues[0];

    std::atomic<bool> start{false};
    std::atomic<int> writing{static_cast<int>(std::size(kValues))};
    std::vector<std::thread> writers;
    for (const s64 value : kValues) {
        writers.emplace_back([&, value] {
            while (!start) {
            }
            for (int i = 0; i < 500000; ++i) {
                cell = value;
            }
            --writing;
        });
    }
    long strangers = 0;
    start = true;
    while (writing > 0) {
        strangers += !isOneOfTheValues(cell);
    }
    for (std::thread& writer : writers) {
        writer.join();
    }

    EXPECT_EQ(0, strangers);
    EXPECT_TRUE(isOneOfTheValues(cell));
}

}  // namespace
