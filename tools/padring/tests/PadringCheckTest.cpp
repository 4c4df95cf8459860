// The demo's verdict and the ring tests' reads are only as good as this check:
// the pattern must expose a torn sample, and ReadProblem every broken promise.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "PadPattern.h"
#include "ReadCheck.h"

namespace {

using padring::PadSample;
using padring::ReadCheck;
using padring::Sequence;
using padring::SequenceOf;
using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PadLifoRingMissed;

// Newest first, as ReadData delivers them.
std::vector<PadStatus> Samples(std::initializer_list<Sequence> sequences) {
    std::vector<PadStatus> samples;
    for (Sequence sequence : sequences) {
        samples.push_back(PadSample(sequence));
    }
    return samples;
}

// Takes field f (hold, trigger, release, stick.x, stick.y) from newer when bit f of mask is set.
PadStatus Stitch(const PadStatus& newer, const PadStatus& older, unsigned mask) {
    return PadStatus{
        (mask & 1) ? newer.hold : older.hold,
        (mask & 2) ? newer.trigger : older.trigger,
        (mask & 4) ? newer.release : older.release,
        {(mask & 8) ? newer.stick.x : older.stick.x, (mask & 16) ? newer.stick.y : older.stick.y}};
}

TEST(PadPattern, EverySampleDecodesToItsOwnNumberAndAZeroedSlotToNone) {
    for (Sequence sequence = 0; sequence < 20000; ++sequence) {
        ASSERT_EQ(SequenceOf(PadSample(sequence)), sequence);
    }
    for (Sequence sequence :
         {Sequence{1} << 32, (Sequence{1} << 40) + 12345, padring::kLastSequence}) {
        EXPECT_EQ(SequenceOf(PadSample(sequence)), sequence);
    }
    EXPECT_EQ(SequenceOf(PadStatus{}), -1);
}

// A reader that copied a slot while the writer refilled it holds fields of two
// samples whose numbers differ by a multiple of 8. Unless the fields it mixed
// happen to be equal (then it holds one real sample), it must not decode.
TEST(PadPattern, SampleStitchedFromTwoWritesOfOneSlotDoesNotDecode) {
    int stitched = 0;
    for (Sequence newer = 8; newer < 6000; ++newer) {
        for (Sequence apart : {8, 16, 24, 1000}) {
            const Sequence older = newer - apart;
            if (older < 0) {
                continue;
            }
            const PadStatus a = PadSample(newer);
            const PadStatus b = PadSample(older);
            for (unsigned mask = 1; mask < 31; ++mask) {
                const PadStatus mixed = Stitch(a, b, mask);
                if (std::memcmp(&mixed, &a, sizeof a) == 0 ||
                    std::memcmp(&mixed, &b, sizeof b) == 0) {
                    continue;
                }
                ++stitched;
                ASSERT_EQ(SequenceOf(mixed), -1)
                    << "samples " << newer << " and " << older << ", mask " << mask;
            }
        }
    }
    EXPECT_GT(stitched, 100000);  // most mixes differ from both samples
}

// What ReadProblem says of these samples read into room for 7 by a consumer
// whose newest before was newestBefore.
std::string Problem(const std::vector<PadStatus>& samples, Sequence newestBefore = -1,
                    PadLifoRingMissed missed = {0, true}) {
    return padring::ReadProblem(samples.data(), static_cast<qor::s32>(samples.size()), 7,
                                newestBefore, missed);
}

TEST(ReadCheck, AcceptsConsecutiveNewestFirstReadsAndAddsUpWhatTheyPassedOver) {
    ReadCheck check;
    auto take = [&check](const std::vector<PadStatus>& samples, PadLifoRingMissed missed) {
        return check.Take(samples.data(), static_cast<qor::s32>(samples.size()), 7, missed);
    };
    EXPECT_EQ(take(Samples({12, 11, 10}), {0, true}), "");  // before the first read: not counted
    EXPECT_EQ(take({}, {0, true}), "");
    EXPECT_EQ(take(Samples({20, 19, 18, 17}), {4, true}), "");  // 13..16 unseen
    EXPECT_EQ(check.Received(), 7);
    EXPECT_EQ(check.Skipped(), 4);
    EXPECT_TRUE(check.SkippedExact());
    EXPECT_EQ(take(Samples({40}), {3, false}), "");  // at least 3 of 21..39
    EXPECT_EQ(take(Samples({40}), {0, true}),
              "entry 0 is sample 40, delivered before (newest so far 40)");
    EXPECT_EQ(check.Skipped(), 7);
    EXPECT_FALSE(check.SkippedExact());
}

TEST(ReadCheck, FlagsEachBrokenPromise) {
    std::vector<PadStatus> torn = Samples({5, 4});
    torn[1].stick.x = static_cast<qor::s16>(torn[1].stick.x + 1);
    EXPECT_EQ(Problem(torn), "entry 1 is not a whole sample");
    EXPECT_EQ(Problem(Samples({4, 5})), "entry 1 is sample 5, after sample 4");
    EXPECT_EQ(Problem(Samples({9, 7})), "entry 1 is sample 7, after sample 9");
    EXPECT_EQ(Problem(Samples({10, 9}), 9),
              "entry 1 is sample 9, delivered before (newest so far 9)");

    EXPECT_EQ(Problem(Samples({3, 2}), -1, {1, true}),
              "the ring counted 1 samples passed over; the sample numbers say 0");
    EXPECT_EQ(Problem(Samples({9, 8}), 3, {5, true}),
              "the ring counted 5 samples passed over; the sample numbers say 4");
    EXPECT_EQ(Problem(Samples({19}), 9, {10, false}),
              "the ring counted at least 10 samples passed over; the sample numbers say 9");
    EXPECT_EQ(Problem({}, 19, {2, true}),
              "the ring counted 2 samples passed over; the sample numbers say 0");

    const std::vector<PadStatus> eight = Samples({8, 7, 6, 5, 4, 3, 2, 1});
    EXPECT_EQ(padring::ReadProblem(eight.data(), 8, 8, -1, {0, true}),
              "delivered 8 samples into room for 7");
    EXPECT_EQ(padring::ReadProblem(eight.data(), 3, 2, -1, {0, true}),
              "delivered 3 samples into room for 2");
    EXPECT_EQ(padring::ReadProblem(eight.data(), -1, 7, -1, {0, true}),
              "delivered -1 samples into room for 7");
}

}  // namespace
