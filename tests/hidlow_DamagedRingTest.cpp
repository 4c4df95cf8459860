// Which control fields no writer leaves, one rule at a time, and the fuzz
// target's property in every build: random records whose control fields,
// cursor and room are drawn mostly from the edges of their ranges.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "DamagedRecordCheck.h"

namespace {

using qor::s32;
using qor::s64;
using namespace qor::test;

template <typename T>
void Put(std::uint8_t* input, std::size_t offset, std::mt19937_64& random,
         std::initializer_list<T> edges) {
    const T value =
        random() % 4 == 0 ? static_cast<T>(random()) : edges.begin()[random() % edges.size()];
    std::memcpy(input + offset, &value, sizeof value);
}

// The property below takes a record without damage for one a writer can
// leave; so each rule is pinned here by a record that breaks it alone, and
// every state a writer leaves shows none.
TEST(DamagedRing, EachStateNoWriterLeavesIsNamedAndEveryOtherPasses) {
    constexpr s64 kMax = std::numeric_limits<s64>::max();
    struct Case {
        s64 tick;
        s64 oldTick;
        s32 pointer;
        const char* field;  // nullptr: a state a writer leaves
        const char* reason;
    };
    const Case cases[] = {
        {-1, -1, -1, nullptr, nullptr},  // empty
        {-1, -1, 0, nullptr, nullptr},   // the very first lap start, slot 0 published
        {1000, -1, 3, nullptr, nullptr},
        {2000, 1000, 5, nullptr, nullptr},
        {1000, 1000, 7, nullptr, nullptr},  // a lap start, pointer still on 7
        {1000, 1000, 0, nullptr, nullptr},  // ... slot 0 published, its tick not yet
        {1000, -1, 8, "m_writePointer", "outside -1..7"},
        {-1, 1000, -1, "m_oldTickWriteZero", "set while no lap has begun"},
        {1000, -1, -1, "m_tickWriteZero", "set while nothing has been written"},
        {-1, -1, 3, "m_writePointer", "names a slot while no lap has begun"},
        {kMax, 1000, 3, "m_tickWriteZero", "at the largest tick: no later lap can be stamped"},
        {1000, 2000, 3, "m_oldTickWriteZero", "newer than m_tickWriteZero"},
        {1000, 1000, 3, "m_oldTickWriteZero", "equal to m_tickWriteZero away from a lap start"},
    };
    for (const Case& c : cases) {
        PadLifoRing ring;
        ring.m_tickWriteZero = c.tick;
        ring.m_oldTickWriteZero = c.oldTick;
        ring.m_writePointer = c.pointer;
        const qor::hidlow::QVA::PadLifoRingDamage damage = DamageOf(ring);
        const std::string got =
            damage.field == nullptr ? "none" : std::string(damage.field) + " " + damage.reason;
        const std::string expected =
            c.field == nullptr ? "none" : std::string(c.field) + " " + c.reason;
        EXPECT_EQ(expected, got) << "ticks " << c.tick << ", " << c.oldTick << ", pointer "
                                 << c.pointer;
    }
}

TEST(DamagedRing, NoBytesLeadEitherOperationOutsideTheRecordOrPastAReport) {
    constexpr s64 kMax = std::numeric_limits<s64>::max();
    constexpr s64 kMin = std::numeric_limits<s64>::min();
    constexpr s32 kMax32 = std::numeric_limits<s32>::max();
    constexpr s32 kMin32 = std::numeric_limits<s32>::min();
    const std::initializer_list<s64> ticks = {kMin, -2, -1, 0, 999, 1000, 2000, kMax};
    std::mt19937_64 random(20261206);
    long reported = 0;
    long healthy = 0;
    for (int round = 0; round < 20000; ++round) {
        std::uint8_t input[DamagedRecordInput::kSize];
        for (std::uint8_t& byte : input) {
            byte = static_cast<std::uint8_t>(random());
        }
        Put<s64>(input, offsetof(qor::hidlow::LifoRing, m_tickWriteZero), random, ticks);
        Put<s64>(input, offsetof(qor::hidlow::LifoRing, m_oldTickWriteZero), random, ticks);
        Put<s32>(input, offsetof(qor::hidlow::LifoRing, m_writePointer), random,
                 {kMin32, -2, -1, 0, 1, 6, 7, 8, 9, kMax32});
        Put<s64>(input, DamagedRecordInput::kTick, random, ticks);
        Put<s32>(input, DamagedRecordInput::kIndex, random, {-2, -1, 0, 3, 7, 8, kMax32});
        Put<s32>(input, DamagedRecordInput::kBufferNum, random,
                 {kMin32, -1, 0, 1, 3, 7, 8, kMax32});

        const DamagedRecordOutcome outcome = RunOnDamagedRecord(input, sizeof input);
        ASSERT_EQ("", outcome.violation) << "round " << round;
        reported += outcome.reported;
        healthy += outcome.healthy;
    }
    EXPECT_GT(reported, 1000) << "the damage should have been reported often";
    EXPECT_GT(healthy, 1000) << "records a writer can leave should come up often";
    std::printf("%ld of 20000 records reported, %ld without damage\n", reported, healthy);
}

}  // namespace
