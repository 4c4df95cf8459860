// One counting read by a reader of the ring SequenceWriter fills, and what a
// model-checked read must show beyond padring's check: the cursor on the
// newest delivered, a newest the writer published during the read, and a
// missed count exact wherever the ring still names the cursor's lap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "ReadCheck.h"
#include "RingTestSupport.h"

namespace qor::test {

// Where SequenceWriter puts sample n (slot n % 8 of the lap stamped
// (n / 8 + 1) * SteppedTick::kStep), the sample a cursor names; -1 for none.
inline std::int64_t SampleAt(s64 tick, s32 slot) {
    return tick < 0 || slot < 0 ? -1 : (tick / SteppedTick::kStep - 1) * 8 + slot;
}

// A reader whose cursor named sample lastSeen, and what its read delivered.
struct ReadRecord {
    explicit ReadRecord(std::int64_t seen)
        : lastSeen(seen),
          startTick(seen < 0 ? -1 : (seen / 8 + 1) * SteppedTick::kStep),
          startIndex(seen < 0 ? -1 : static_cast<s32>(seen % 8)),
          tick(startTick),
          index(startIndex) {}

    void Read(const PadLifoRing& ring) {
        missed = ring.ReadDataCountingMissed(delivered, 8, &count, &tick, &index);
    }

    std::int64_t lastSeen;
    s64 startTick;
    s32 startIndex;
    s64 tick;
    s32 index;
    s32 count = -1;
    PadStatus delivered[8] = {};
    hidlow::QVA::PadLifoRingMissed missed{-1, false};
};

// Empty when the read passes padring's check and delivered the samples after
// its cursor up to one that was the writer's newest at some moment from
// newestFirst to newestLast, seven at most, leaving the cursor on it (or where
// it was, delivering none). Its missed count may be a lower bound only where
// the cursor lay further back than the lap before the newest or a lap start
// hid that lap (the newest then being slot 7), short by at most a lap for
// each lap between.
inline std::string InconsistentRead(const ReadRecord& r, std::int64_t newestFirst,
                                    std::int64_t newestLast) {
    const std::string problem = padring::ReadProblem(r.delivered, r.count, 8, r.lastSeen, r.missed);
    const std::int64_t newest = SampleAt(r.tick, r.index);
    const bool cursorOnNewest = r.count > 0 ? SequenceOf(r.delivered[0]) == newest
                                            : r.tick == r.startTick && r.index == r.startIndex;
    const bool newestDuringRead = newest >= newestFirst && newest <= newestLast;
    const bool countMatches = r.count == std::min<std::int64_t>(7, newest - r.lastSeen);
    const std::int64_t lapsBehind = r.lastSeen < 0 ? 0 : newest / 8 - r.lastSeen / 8;
    const bool lapNamed = lapsBehind == 0 || (lapsBehind == 1 && newest % 8 != 7);
    const std::int64_t passedOver = r.lastSeen < 0 ? 0 : newest - r.count - r.lastSeen;
    const bool countBound =
        r.missed.exact || (!lapNamed && r.missed.count >= passedOver - 8 * (lapsBehind - 1));
    if (!problem.empty() || (cursorOnNewest && newestDuringRead && countMatches && countBound)) {
        return problem;
    }
    return "delivered " + std::to_string(r.count) + " (newest " +
           std::to_string(r.count > 0 ? SequenceOf(r.delivered[0]) : -1) + ") after sample " +
           std::to_string(r.lastSeen) + "; the cursor moved from sample " +
           std::to_string(SampleAt(r.startTick, r.startIndex)) + " to " + std::to_string(newest) +
           "; the newest published during the read went from " + std::to_string(newestFirst) +
           " to " + std::to_string(newestLast) + "; missed " + (r.missed.exact ? "" : "at least ") +
           std::to_string(r.missed.count);
}

}  // namespace qor::test
