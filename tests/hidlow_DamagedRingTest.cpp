// The fuzz target's property in every build: random records whose control
// fields, cursor and room are drawn mostly from the edges of their ranges.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>

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
