#include "qor/fnd/fnd_Interlocked.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <type_traits>

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

// An updater that adds one and has it stored.
constexpr auto kAddOne = [](auto& value) {
    ++value;
    return true;
};

// A refusing updater's change never reaches the cell; an accepted one does,
// and a copy between cells reads the source whole and stores it whole.
TEST(InterlockedVariable, UpdaterDecidesWhetherTheCellIsWritten) {
    InterlockedVariable<s32> cell;
    cell = 41;
    int calls = 0;
    auto refuse = [&calls](s32& value) {
        ++calls;
        value = 99;
        return false;
    };
    EXPECT_FALSE(cell.AtomicUpdateConditional(refuse));
    EXPECT_EQ(41, static_cast<s32>(cell));
    EXPECT_EQ(1, calls);

    EXPECT_TRUE(cell.AtomicUpdateConditional(kAddOne));
    InterlockedVariable<s32> copy;
    copy = cell;
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
        for (int i = 0; i < kIncrements; ++i) {
            mine.AtomicUpdateConditional(kAddOne);
            total.AtomicUpdateConditional(kAddOne);
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

// Two writers store 64-bit values whose two halves are equal, from families of
// their own, while this thread reads until it has seen them change often: a
// value stored or read as two 32-bit halves (as LDRD and STRD do on ARMv6)
// shows, here under emulation too, as one whose halves differ, and so does a
// cell left holding halves of two different assignments.
TEST(InterlockedVariable, SixtyFourBitValuesAreStoredAndReadWhole) {
    auto halvesDiffer = [](s64 value) { return (value >> 32) != (value & 0xffffffff); };
    InterlockedVariable<s64> cell;
    cell = 0;
    std::atomic<bool> reading{true};
    auto write = [&](s64 half) {
        // relaxed: only tells the writers to stop; nothing is published through it
        for (; reading.load(std::memory_order_relaxed); half = (half + 2) & 0x7fffffff) {
            cell = (half << 32) | half;
        }
    };
    std::thread even(write, 0);
    std::thread odd(write, 1);
    long mixed = 0;
    s64 last = 0;
    for (long changes = 0; changes < 2000000;) {
        const s64 value = cell;
        mixed += halvesDiffer(value);
        changes += value != last;
        last = value;
    }
    reading = false;
    even.join();
    odd.join();

    EXPECT_EQ(0, mixed);
    EXPECT_FALSE(halvesDiffer(cell));
}

}  // namespace
