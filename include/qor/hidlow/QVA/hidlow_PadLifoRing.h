// The pad sample ring: the eight newest pad samples, written by one producer
// and read newest first by any number of consumers, each with its own cursor,
// without locks. The record holds no pointers and has one fixed byte layout,
// so it may sit in memory shared between processes.
#pragma once

#include <cstddef>
#include <type_traits>

#include "qor/fnd/fnd_Interlocked.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/hidlow_LifoRing.h"
#include "qor/types.h"

namespace qor::hidlow::QVA {

constexpr s32 PAD_LIFORING_BUFFER_NUM = 8;

struct PadLifoRingSnapshot;

struct IAnalogStickStatus {
    fnd::InterlockedVariable<s16> x;
    fnd::InterlockedVariable<s16> y;
};

// A slot: PadStatus's layout, every field an interlocked cell.
struct IPadStatus {
    fnd::InterlockedVariable<bit32> hold;
    fnd::InterlockedVariable<bit32> trigger;
    fnd::InterlockedVariable<bit32> release;
    IAnalogStickStatus stick;
};

// What a counting read passed over: count samples, or at least count when
// exact is false. Returned, not stored through a pointer, so that counting
// costs a consumer next to nothing.
struct PadLifoRingMissed {
    s32 count;
    bool exact;
};

// A ring must be in the empty state before any call: m_writePointer -1 and
// both lap ticks -1 (slot contents do not matter). A ring made in C++ starts
// so; whoever casts other memory to a ring (shared memory) stores the three.
// Exactly one thread calls WriteData; any number call ReadData at once.
struct PadLifoRing : public LifoRing {
    // Stores pBuffers[0..bufferNum) oldest first, publishing each sample on
    // its own. Never waits for readers.
    void WriteData(const qor::hid::QVA::PadStatus* pBuffers, s32 bufferNum);

    // Delivers the samples newer than the cursor (*pTick, *pIndex), newest in
    // pBuffers[0], at most min(bufferNum, 7) of them; *pReadCount says how
    // many. A completed read moves the cursor to the newest sample it saw.
    // A new consumer starts with the cursor (-1, -1). Never writes the ring.
    void ReadData(qor::hid::QVA::PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

    // ReadData, also counting the samples this read passes over for good:
    // those written after the cursor's sample and before the oldest one
    // delivered. Exact while the cursor lies in the ring's current lap or the
    // one before; a lower bound for a cursor from an older lap, and for one
    // from the lap before while the writer is between a new lap's two tick
    // stores (the ring then names no lap before). A new cursor (-1, -1)
    // misses nothing: what came before its first read is not its loss. Nor
    // does a read that delivers nothing new.
    PadLifoRingMissed ReadDataCountingMissed(qor::hid::QVA::PadStatus* pBuffers, s32 bufferNum,
                                             s32* pReadCount, s64* pTick, s32* pIndex) const;

    // A new writer taking over from one that stopped for good calls this once,
    // before its first WriteData, while no other writer can run. A writer that
    // stopped between publishing slot 0 and stamping its lap left readers
    // taking slot 7 as the newest; writing on from there would break their
    // cursors, so the lap start is finished first. Any other state a writer
    // can stop in needs nothing.
    void ResumeWriting();

    // Copies the whole record the way a reader takes its snapshot, starting
    // over while the writer moves, at most maxAttempts times. Returns whether
    // a copy was confirmed; if not, *pSnapshot holds the last attempt.
    bool TakeSnapshot(PadLifoRingSnapshot* pSnapshot, s32 maxAttempts) const;

    // Used by other parts of the input service, never by the ring operations.
    f32 m_Svr2Volume;
    bit32 m_RawButtons;
    IAnalogStickStatus m_RawAnalogStick;
    s32 : 32;
    IPadStatus m_buffers[PAD_LIFORING_BUFFER_NUM];
};

static_assert(sizeof(PadLifoRingMissed) == 8 && offsetof(PadLifoRingMissed, exact) == 4);
static_assert(sizeof(IAnalogStickStatus) == 4 && offsetof(IAnalogStickStatus, y) == 2);
static_assert(sizeof(IPadStatus) == 16 && offsetof(IPadStatus, trigger) == 4 &&
              offsetof(IPadStatus, release) == 8 && offsetof(IPadStatus, stick) == 12);

// offsetof on a derived record is conditionally supported; GCC and Clang give
// the plain byte offset, which is what other processes rely on.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
#endif
static_assert(std::is_aggregate_v<PadLifoRing>);
static_assert(sizeof(PadLifoRing) == 168 && alignof(PadLifoRing) == 8);
static_assert(offsetof(PadLifoRing, m_writePointer) == 16 &&
              offsetof(PadLifoRing, m_Svr2Volume) == 24 &&
              offsetof(PadLifoRing, m_RawButtons) == 28 &&
              offsetof(PadLifoRing, m_RawAnalogStick) == 32 &&
              offsetof(PadLifoRing, m_buffers) == 40);
static_assert(offsetof(PadLifoRing, m_buffers[7].stick.y) == 166);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

}  // namespace qor::hidlow::QVA
