// Whatever bytes another process leaves in the record, and whatever cursor and
// room a caller passes, neither operation may touch memory outside the record
// and the caller's buffers, nor any field of the record but the ring's; a read
// never writes the record, and a call that reports changes nothing but
// *pReadCount. A record whose snapshot shows no damage is one a writer could
// have died in: a new reader never reports on it, and a writer taking over
// (ResumeWriting, then WriteData) leaves it healthy. Shared by the fuzz target
// and the test that feeds it random records in every build.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>

#include "RingTestSupport.h"
#include "fnd_HookedInterlocked.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"

namespace qor::test {

// One input: the record's 168 bytes, the cursor's tick and index, the read's
// bufferNum, then the write's batch size. Shorter inputs are padded with zeros.
struct DamagedRecordInput {
    static constexpr std::size_t kTick = sizeof(PadLifoRing);
    static constexpr std::size_t kIndex = kTick + sizeof(s64);
    static constexpr std::size_t kBufferNum = kIndex + sizeof(s32);
    static constexpr std::size_t kBatch = kBufferNum + sizeof(s32);
    static constexpr std::size_t kSize = kBatch + 1;
    static constexpr int kMaxBatch = 20;
};

struct DamagedRecordOutcome {
    std::string violation;  // empty when both calls behaved
    bool reported;
    bool healthy;  // the record showed no damage
};

inline s64 FixedLapTick() {
    return 5000;  // the writer still stamps each lap later than the last
}

// Damage() of the record as it stands; the ring is still, so one copy does.
inline hidlow::QVA::PadLifoRingDamage DamageOf(const PadLifoRing& ring) {
    hidlow::QVA::PadLifoRingSnapshot snapshot;
    ring.TakeSnapshot(&snapshot, 1);
    return snapshot.Damage();
}

// Whether a reader with a new cursor gets a report.
inline bool NewReaderReports(const PadLifoRing& ring, RecordingBreakHandler& breaks) {
    PadStatus buffers[7];
    s32 count = 0;
    s64 tick = -1;
    s32 index = -1;
    ring.ReadData(buffers, 7, &count, &tick, &index);
    return !breaks.Take().empty();
}

inline DamagedRecordOutcome RunOnDamagedRecord(const std::uint8_t* data, std::size_t size) {
    using In = DamagedRecordInput;
    std::uint8_t input[In::kSize] = {};
    std::memcpy(input, data, std::min(size, In::kSize));
    // On the heap and exactly the record's size, so AddressSanitizer sees any
    // byte outside it.
    const auto ring = std::make_unique<PadLifoRing>();
    std::memcpy(static_cast<void*>(ring.get()), input, sizeof(PadLifoRing));
    s64 tick;
    s32 index;
    s32 bufferNum;
    std::memcpy(&tick, input + In::kTick, sizeof tick);
    std::memcpy(&index, input + In::kIndex, sizeof index);
    std::memcpy(&bufferNum, input + In::kBufferNum, sizeof bufferNum);

    // A lap tick within a batch's laps of the largest one leaves no later ticks
    // to stamp: no writer keeps such a ring healthy, taking over or not.
    const bool ticksLeft =
        ring->m_tickWriteZero.m_v < std::numeric_limits<s64>::max() - In::kMaxBatch;
    const bool healthy = DamageOf(*ring).field == nullptr && ticksLeft;
    long outside = 0;
    bool snapshotting = false;  // a snapshot also copies fields the ring leaves alone
    fnd::Test::ScopedCellHook hook([&](const volatile void* address, fnd::Test::CellAccess) {
        const auto* byte = static_cast<const volatile unsigned char*>(address);
        const auto* controls = reinterpret_cast<const unsigned char*>(ring.get());
        const auto* slots = reinterpret_cast<const unsigned char*>(&ring->m_buffers);
        const bool inControls = byte >= controls && byte < controls + 20;
        const bool inSlots = byte >= slots && byte < slots + sizeof ring->m_buffers;
        outside += !inControls && !inSlots && !snapshotting;
    });
    RecordingBreakHandler breaks;
    const svc::SystemTickSource previousTick = svc::SetSystemTickSource(&FixedLapTick);

    // Eight entries: a read fills at most seven, and none at or after its room.
    const s32 room = std::clamp(bufferNum, 0, 7);
    const auto buffers = std::make_unique<PadStatus[]>(8);
    std::fill_n(buffers.get(), 8, PadSample(0xfeed));
    std::uint8_t before[sizeof(PadLifoRing)];
    std::memcpy(before, static_cast<const void*>(ring.get()), sizeof before);
    s64 cursorTick = tick;
    s32 cursorIndex = index;
    s32 count = -1;
    ring->ReadData(buffers.get(), bufferNum, &count, &cursorTick, &cursorIndex);
    const bool readReported = !breaks.Take().empty();

    std::string violation;
    if (count < 0 || count > room) {
        violation =
            "delivered " + std::to_string(count) + " into room for " + std::to_string(bufferNum);
    } else if (readReported && (count != 0 || cursorTick != tick || cursorIndex != index)) {
        violation = "a read that reported delivered or moved the cursor";
    } else if (std::memcmp(before, static_cast<const void*>(ring.get()), sizeof before) != 0) {
        violation = "a read changed the record";
    } else if (std::any_of(buffers.get() + room, buffers.get() + 8,
                           [](const PadStatus& entry) { return SequenceOf(entry) != 0xfeed; })) {
        violation = "a read wrote an entry at or after its room";
    }

    if (healthy && NewReaderReports(*ring, breaks)) {
        violation = "a new reader got a report on a record with no damage";
    }
    if (healthy) {
        ring->ResumeWriting();
    }
    std::memcpy(before, static_cast<const void*>(ring.get()), sizeof before);
    SequenceWriter(*ring).Write(input[In::kBatch] % (In::kMaxBatch + 1));
    const bool writeReported = !breaks.Take().empty();
    if (writeReported &&
        std::memcmp(before, static_cast<const void*>(ring.get()), sizeof before) != 0) {
        violation = "a write that reported changed the record";
    }
    if (healthy && (writeReported || NewReaderReports(*ring, breaks))) {
        violation = "a writer taking over a record with no damage got or left a report";
    }
    snapshotting = true;
    const hidlow::QVA::PadLifoRingDamage left = DamageOf(*ring);
    if (healthy && left.field != nullptr) {
        violation = std::string("a writer taking over a record with no damage left ") + left.field +
                    " " + left.reason;
    }
    if (outside > 0) {
        violation = std::to_string(outside) + " accesses outside the ring's fields";
    }
    svc::SetSystemTickSource(previousTick);
    return DamagedRecordOutcome{violation, readReported || writeReported, healthy};
}

}  // namespace qor::test
