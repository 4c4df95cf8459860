// The ring's record, writer steps and cursor arithmetic in plain C++, with no
// cells and no fences. The baselines are built from it, so each keeps the
// ring's semantics (8 slots, newest first, the same cursor) and its layout, and
// differs from the ring only in how it keeps readers consistent.
#pragma once

#include <cstddef>

#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/os/os_Tick.h"
#include "qor/types.h"

namespace qor::bench {

using hid::QVA::PadStatus;

constexpr s32 kSlots = 8;
constexpr s32 kMaxRead = kSlots - 1;

// PadLifoRing's 168-byte layout with plain fields.
struct PlainPadRing {
    s64 tickWriteZero;
    s64 oldTickWriteZero;
    s32 writePointer;
    s32 : 32;
    unsigned char fieldsTheRingDoesNotUse[16];
    PadStatus buffers[kSlots];
};

static_assert(sizeof(PlainPadRing) == 168 && offsetof(PlainPadRing, buffers) == 40);

inline void MakeEmpty(PlainPadRing& ring) {
    ring.tickWriteZero = -1;
    ring.oldTickWriteZero = -1;
    ring.writePointer = -1;
}

// Emits no instruction, but the compiler may neither drop, merge nor move a
// memory access across it: plain code then keeps every load and store the
// ring makes (without it a batch would store only its last pointer, and a
// re-check would reuse the snapshot's values).
inline void CompilerBarrier() {
    asm volatile("" ::: "memory");
}

// The writer's lap tick: larger than the current one whatever the tick source
// returns, as the ring stamps it.
inline s64 NextLapTick(s64 currentLapTick) {
    const s64 tick = os::Tick::GetSystemCurrent();
    return tick > currentLapTick ? tick : currentLapTick + 1;
}

// The ring's writer with plain stores, a compiler barrier where the ring has a
// fence.
inline void WriteSamples(PlainPadRing& ring, const PadStatus* pBuffers, s32 bufferNum) {
    s32 writePointer = ring.writePointer;
    for (s32 i = 0; i < bufferNum; ++i) {
        writePointer = writePointer == kMaxRead ? 0 : writePointer + 1;
        CompilerBarrier();
        ring.buffers[writePointer] = pBuffers[i];
        if (writePointer != 0) {
            CompilerBarrier();
            ring.writePointer = writePointer;
            continue;
        }
        const s64 currentLapTick = ring.tickWriteZero;
        const s64 tickWriteZero = NextLapTick(currentLapTick);
        ring.oldTickWriteZero = currentLapTick;
        CompilerBarrier();
        ring.writePointer = 0;
        CompilerBarrier();
        ring.tickWriteZero = tickWriteZero;
    }
}

struct ControlFields {
    s32 writePointer;
    s64 tickWriteZero;
    s64 oldTickWriteZero;

    bool operator!=(const ControlFields& other) const {
        return writePointer != other.writePointer || tickWriteZero != other.tickWriteZero ||
               oldTickWriteZero != other.oldTickWriteZero;
    }
};

// newestSlot -1: nothing to deliver, and the cursor stays where it is.
struct ReadPlan {
    s32 newestSlot;
    s32 readCount;
};

// The ring's reader arithmetic: which slots are new to the cursor (tick,
// index). Controls or a cursor the ring cannot be in plan nothing.
inline ReadPlan PlanRead(const ControlFields& controls, s64 tick, s32 index, s32 maxRead) {
    s32 writePointer = controls.writePointer;
    if (writePointer < 0 || writePointer >= kSlots) {
        return ReadPlan{-1, 0};
    }
    if (writePointer == 0 && controls.tickWriteZero == controls.oldTickWriteZero) {
        // Pointer 0 published, its lap tick not yet: slot 7 is still the newest.
        if (controls.tickWriteZero < 0) {
            return ReadPlan{-1, 0};
        }
        writePointer = kMaxRead;
    }
    if (tick > controls.tickWriteZero) {
        return ReadPlan{-1, 0};
    }
    s32 readCount;
    if (tick == controls.tickWriteZero) {
        readCount = writePointer - index;
        if (readCount < 0) {
            return ReadPlan{-1, 0};
        }
    } else if (controls.oldTickWriteZero < 0) {
        readCount = writePointer + 1;
    } else if (tick < controls.oldTickWriteZero) {
        readCount = maxRead;
    } else {
        readCount = writePointer - index + kSlots;
    }
    return ReadPlan{writePointer, readCount < maxRead ? readCount : maxRead};
}

inline s32 MaxRead(s32 bufferNum) {
    return bufferNum < kMaxRead ? bufferNum : kMaxRead;
}

// Copies the planned slots newest first, each as one plain 16-byte copy, in
// two runs: down to slot 0, then on from slot 7.
inline void CopySlots(const PlainPadRing& ring, const ReadPlan& plan, PadStatus* pBuffers) {
    const s32 beforeWrap =
        plan.readCount < plan.newestSlot + 1 ? plan.readCount : plan.newestSlot + 1;
    for (s32 i = 0; i < beforeWrap; ++i) {
        pBuffers[i] = ring.buffers[plan.newestSlot - i];
    }
    for (s32 i = beforeWrap; i < plan.readCount; ++i) {
        pBuffers[i] = ring.buffers[kMaxRead + beforeWrap - i];
    }
}

// Moves the cursor to the plan's newest sample and reports the count.
inline void Commit(const ReadPlan& plan, s64 tickWriteZero, s32* pReadCount, s64* pTick,
                   s32* pIndex) {
    *pReadCount = plan.readCount;
    *pTick = tickWriteZero;
    *pIndex = plan.newestSlot;
}

}  // namespace qor::bench
