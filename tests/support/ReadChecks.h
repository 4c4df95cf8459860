// What every consistent read must deliver, as checks shared by the tests that
// drive readers against a moving writer.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "RingTestSupport.h"

namespace qor::test {

// Empty when samples[0..count) is what a consistent read returns to a reader
// whose newest sample so far was lastSeen (-1 for none) and whose cursor now
// names newestSlot: whole samples, consecutive, newest first, all newer than
// lastSeen, the cursor on the newest. Otherwise says what is wrong.
inline std::string ReadViolation(const PadStatus* samples, s32 count, std::int64_t lastSeen,
                                 s32 newestSlot) {
    for (s32 i = 0; i < count; ++i) {
        const std::int64_t sequence = SequenceOf(samples[i]);
        if (sequence < 0) {
            return "entry " + std::to_string(i) + " is torn";
        }
        const bool follows = i == 0 || sequence == SequenceOf(samples[i - 1]) - 1;
        const bool named = i > 0 || newestSlot == sequence % 8;
        if (follows && sequence > lastSeen && named) {
            continue;  // no strings built on the way: this also runs inside a model checker
        }
        const std::string entry =
            "entry " + std::to_string(i) + " holds sample " + std::to_string(sequence);
        if (!follows) {
            return entry + " after sample " + std::to_string(SequenceOf(samples[i - 1]));
        }
        if (sequence <= lastSeen) {
            return entry + ", delivered before (newest seen " + std::to_string(lastSeen) + ")";
        }
        return entry + ", the cursor names slot " + std::to_string(newestSlot);
    }
    return "";
}

// Where SequenceWriter puts sample n (slot n % 8 of the lap stamped
// (n / 8 + 1) * SteppedTick::kStep), the sample a cursor names; -1 for none.
inline std::int64_t SampleAt(s64 tick, s32 slot) {
    return tick < 0 || slot < 0 ? -1 : (tick / SteppedTick::kStep - 1) * 8 + slot;
}

// One counting read (ReadData's steps, and what they passed over) by a reader
// whose cursor named sample lastSeen.
struct ReadRecord {
    explicit ReadRecord(std::int64_t seen)
        : lastSeen(seen),
          startTick(seen < 0 ? -1 : (seen / 8 + 1) * SteppedTick::kStep),
          startIndex(seen < 0 ? -1 : static_cast<s32>(seen % 8)),
          tick(startTick),
          index(startIndex) {}

    void Read(const PadLifoRing& ring) {
        const hidlow::QVA::PadLifoRingMissed passedOver =
            ring.ReadDataCountingMissed(delivered, 8, &count, &tick, &index);
        missed = passedOver.count;
        missedExact = passedOver.exact;
    }

    std::int64_t lastSeen;
    s64 startTick;
    s32 startIndex;
    s64 tick;
    s32 index;
    s32 count = -1;
    PadStatus delivered[8] = {};
    s32 missed = -1;
    bool missedExact = false;
};

// Whether the read's missed count is right: exact, the samples written after
// lastSeen and older than those delivered (none for a new cursor); or a lower
// bound, short by at most a lap for each lap between the cursor's and the
// newest's, where the cursor lay further back than the lap before the newest
// or a lap start hid that lap (the newest then being slot 7).
inline bool MissedCountHolds(const ReadRecord& r, std::int64_t newest) {
    const std::int64_t passedOver = r.lastSeen < 0 ? 0 : newest - r.count - r.lastSeen;
    const std::int64_t lapsBehind = r.lastSeen < 0 ? 0 : newest / 8 - r.lastSeen / 8;
    if (r.missedExact) {
        return r.missed == passedOver;
    }
    const bool lapNamed = lapsBehind == 0 || (lapsBehind == 1 && newest % 8 != 7);
    return !lapNamed && r.missed <= passedOver && r.missed >= passedOver - 8 * (lapsBehind - 1);
}

// Empty when the read delivered the samples after its cursor up to one that
// was the writer's newest at some moment from newestFirst to newestLast, seven
// at most, left the cursor on it (or where it was, delivering none) and
// counted what it passed over.
inline std::string InconsistentRead(const ReadRecord& r, std::int64_t newestFirst,
                                    std::int64_t newestLast) {
    const std::int64_t newest = SampleAt(r.tick, r.index);
    const std::string violation = ReadViolation(r.delivered, r.count, r.lastSeen, r.index);
    const bool cursorOnNewest = r.count == 0 || SequenceOf(r.delivered[0]) == newest;
    const bool emptyKeepsCursor = r.count > 0 || (r.tick == r.startTick && r.index == r.startIndex);
    const bool newestDuringRead = newest >= newestFirst && newest <= newestLast;
    const bool countMatches = r.count == std::min<std::int64_t>(7, newest - r.lastSeen);
    if (!violation.empty() || (cursorOnNewest && emptyKeepsCursor && newestDuringRead &&
                               countMatches && MissedCountHolds(r, newest))) {
        return violation;
    }
    return "delivered " + std::to_string(r.count) + " (newest " +
           std::to_string(r.count > 0 ? SequenceOf(r.delivered[0]) : -1) + ") after sample " +
           std::to_string(r.lastSeen) + "; the cursor moved from sample " +
           std::to_string(SampleAt(r.startTick, r.startIndex)) + " to " + std::to_string(newest) +
           "; the newest published during the read went from " + std::to_string(newestFirst) +
           " to " + std::to_string(newestLast) + "; missed " + (r.missedExact ? "" : "at least ") +
           std::to_string(r.missed);
}

}  // namespace qor::test
