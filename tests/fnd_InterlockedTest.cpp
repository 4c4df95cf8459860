#include "qor/fnd/fnd_Interlocked.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "qor/types.h"

namespace {

using qor::s16;
using qor::s32;
using qor::s64;
using qor::fnd::InterlockedVariable;

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

}  // namespace
