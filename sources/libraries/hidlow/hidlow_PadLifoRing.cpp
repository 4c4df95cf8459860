#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "hidlow_LifoRingSteps.h"
#include "qor/fnd/fnd_DoublewordAccess.h"
#include "qor/fnd/fnd_Fence.h"
#include "qor/os/os_Tick.h"

namespace qor::hidlow::QVA {
namespace {

using hid::QVA::PadStatus;

constexpr const char* kFileName = SourceFileName(__FILE__);
constexpr s32 kLastSlot = PAD_LIFORING_BUFFER_NUM - 1;

// newestSlot -1: nothing has been written, there is no lap to move the cursor to.
// missed only for the counting read.
struct ReadPlan {
    s32 newestSlot;
    s32 readCount;
    PadLifoRingMissed missed;
};

struct FailedCheck {
    int line;
    const char* condition;
};

// Returns the failed check from PlanRead when condition does not hold.
#define QOR_HIDLOW_FAIL_UNLESS(condition)                     \
    if (__builtin_expect(!static_cast<bool>(condition), 0)) { \
        return FailedCheck{__LINE__, #condition};             \
    }

// Works out which slots are new to the cursor (*pTick, *pIndex) in the ring
// state the snapshot describes, and for the counting read how many samples
// after the cursor it passes over; touches nothing.
template <bool kCountMissed>
[[gnu::always_inline]] inline FailedCheck PlanRead(const ControlSnapshot& snapshot,
                                                   const s64* pTick, const s32* pIndex, s32 maxRead,
                                                   ReadPlan* pPlan) {
    s32 writePointer = snapshot.writePointer;
    const s64 tickWriteZero = snapshot.tickWriteZero;
    const s64 oldTickWriteZero = snapshot.oldTickWriteZero;
    *pPlan = ReadPlan{-1, 0, {0, true}};

    QOR_HIDLOW_FAIL_UNLESS(-1 <= writePointer && PAD_LIFORING_BUFFER_NUM > writePointer);
    if (writePointer < 0) {
        return FailedCheck{};
    }
    if (__builtin_expect(writePointer == 0 && tickWriteZero == oldTickWriteZero, 0)) {
        // The writer has published slot 0 but not yet the new lap's tick: slot
        // 7 of the lap named by tickWriteZero is still the newest sample.
        if (tickWriteZero < 0) {
            return FailedCheck{};
        }
        writePointer = kLastSlot;
    }

    QOR_HIDLOW_FAIL_UNLESS(*pTick <= tickWriteZero);
    s32 readCount;
    // The samples after the cursor, or at least this many where the ring no
    // longer names the cursor's lap.
    [[maybe_unused]] s32 newer;
    [[maybe_unused]] bool exact = true;
    if (*pTick >= tickWriteZero) {
        readCount = writePointer - *pIndex;
        QOR_HIDLOW_FAIL_UNLESS(0 <= readCount);
        newer = readCount;
    } else if (oldTickWriteZero < 0) {
        readCount = writePointer + 1;  // first lap: every sample is newer than the cursor
        // A cursor from before the first lap is not one of this ring's.
        newer = readCount;
        exact = false;
    } else if (*pTick < oldTickWriteZero) {
        readCount = maxRead;  // two or more laps behind
        // At least the rest of the cursor's lap, the lap between (unless a
        // lap start in progress has dropped its tick) and the current one.
        const s32 lapBetween = oldTickWriteZero < tickWriteZero ? PAD_LIFORING_BUFFER_NUM : 0;
        newer = kLastSlot - *pIndex + lapBetween + writePointer + 1;
        exact = false;
    } else {
        readCount = writePointer - *pIndex + PAD_LIFORING_BUFFER_NUM;
        newer = readCount;
    }
    *pPlan = ReadPlan{writePointer, readCount < maxRead ? readCount : maxRead, {0, true}};
    if constexpr (kCountMissed) {
        // A new cursor misses nothing: what came before its first read is not its loss.
        const bool newCursor = *pTick < 0;
        pPlan->missed =
            PadLifoRingMissed{newCursor ? 0 : newer - pPlan->readCount, newCursor || exact};
    }
    return FailedCheck{};
}

#undef QOR_HIDLOW_FAIL_UNLESS

// Copies count slots, newest first, from pNewest down: a run that does not
// wrap, so count is at most pNewest's slot + 1. Straight-line code entered at
// the run's oldest slot, with no test per slot: a signed modulo per slot made
// a 7-sample read 15% longer in instructions, a wrap test per slot cost it
// about a tenth of its time, and a loop unrolled with a count test per slot
// takes two instructions a slot more than this.
[[gnu::always_inline]] inline void CopyRun(const IPadStatus* pNewest, PadStatus* pBuffers,
                                           s32 count) {
    switch (count) {
        case 7:
            LoadSample(pNewest[-6], &pBuffers[6]);
            [[fallthrough]];
        case 6:
            LoadSample(pNewest[-5], &pBuffers[5]);
            [[fallthrough]];
        case 5:
            LoadSample(pNewest[-4], &pBuffers[4]);
            [[fallthrough]];
        case 4:
            LoadSample(pNewest[-3], &pBuffers[3]);
            [[fallthrough]];
        case 3:
            LoadSample(pNewest[-2], &pBuffers[2]);
            [[fallthrough]];
        case 2:
            LoadSample(pNewest[-1], &pBuffers[1]);
            [[fallthrough]];
        case 1:
            LoadSample(pNewest[0], &pBuffers[0]);
            [[fallthrough]];
        default:
            break;
    }
}

// Reports a check that failed on the snapshot, unless the control fields moved
// since: a snapshot taken across a lap start can be a state the ring was never
// in, and only controls that have not moved make a failed check a caller error
// or a damaged record. Returns whether it reported. Out of line: no healthy
// read comes here.
[[gnu::noinline, gnu::cold]] bool ReportUnlessMoved([[maybe_unused]] const LifoRing& ring,
                                                    [[maybe_unused]] ControlSnapshot snapshot,
                                                    FailedCheck failed) {
#if !defined(QOR_HIDLOW_FAULT_REPORT_UNCONFIRMED)
    if (ControlsMoved(ring, snapshot)) {
        return false;
    }
#endif
    ReportFailedCheck(kFileName, failed.line, failed.condition);
    return true;
}

enum class Attempt { kDone, kStartOver };

// One attempt of a read from the snapshot: confirm it, plan, copy, re-check,
// and commit unless the writer moved meanwhile; the counting read also says
// in *pMissed what it passed over. Inlined in both callers.
template <bool kCountMissed>
[[gnu::always_inline]] inline Attempt ReadOnSnapshot(const PadLifoRing& ring,
                                                     const ControlSnapshot& snapshot,
                                                     PadStatus* pBuffers, s32 maxRead,
                                                     s32* pReadCount, s64* pTick, s32* pIndex,
                                                     PadLifoRingMissed* pMissed) {
#if !defined(QOR_HIDLOW_FAULT_UNCONFIRMED_SNAPSHOT)
    // A reader stalled between its pointer read and its tick reads can hold a
    // pointer from an older lap beside a newer lap's ticks. Read after the lap
    // tick, an equal pointer belongs to the lap that tick names; the old lap
    // tick may be newer still, which the re-check after the copy sees.
    if (ring.m_writePointer != snapshot.writePointer) {
        return Attempt::kStartOver;
    }
#endif
    // acquire: pairs with the releases the control reads saw; no copied field predates them
    fnd::AcquireFence();

    ReadPlan plan{};
    const FailedCheck failed = PlanRead<kCountMissed>(snapshot, pTick, pIndex, maxRead, &plan);
    if (__builtin_expect(failed.condition != nullptr, 0)) {
        return ReportUnlessMoved(ring, snapshot, failed) ? Attempt::kDone : Attempt::kStartOver;
    }
    if (plan.newestSlot < 0) {
        return Attempt::kDone;
    }

    // Newest first: down to slot 0, then on from slot 7.
    const s32 beforeWrap =
        plan.readCount < plan.newestSlot + 1 ? plan.readCount : plan.newestSlot + 1;
    CopyRun(&ring.m_buffers[plan.newestSlot], pBuffers, beforeWrap);
    if (plan.readCount > beforeWrap) {
        CopyRun(&ring.m_buffers[kLastSlot], pBuffers + beforeWrap, plan.readCount - beforeWrap);
    }
    // acquire: pairs with the release before each slot's stores; newer fields move the re-check
    fnd::AcquireFence();
    if (ControlsMoved(ring, snapshot)) {
        return Attempt::kStartOver;
    }

    *pMissed = plan.missed;
    *pReadCount = plan.readCount;
    *pTick = snapshot.tickWriteZero;
    *pIndex = plan.newestSlot;
    return Attempt::kDone;
}

// Attempts on fresh snapshots until one is done; returns what the counting
// read passed over.
template <bool kCountMissed>
[[gnu::noinline]] PadLifoRingMissed ReadUntilDone(const PadLifoRing& ring, PadStatus* pBuffers,
                                                  s32 maxRead, s32* pReadCount, s64* pTick,
                                                  s32* pIndex) {
    PadLifoRingMissed missed{0, true};
    while (ReadOnSnapshot<kCountMissed>(ring, ReadControls(ring), pBuffers, maxRead, pReadCount,
                                        pTick, pIndex, &missed) == Attempt::kStartOver) {
    }
    return missed;
}

// The first attempt straight-line, the others (for a read the writer moved
// during) out of line: as a loop, the first attempt made a 7-sample read 8%
// slower.
template <bool kCountMissed>
[[gnu::noinline]] PadLifoRingMissed ReadNewSamples(const PadLifoRing& ring, PadStatus* pBuffers,
                                                   s32 maxRead, s32* pReadCount, s64* pTick,
                                                   s32* pIndex) {
    PadLifoRingMissed missed{0, true};
    if (ReadOnSnapshot<kCountMissed>(ring, ReadControls(ring), pBuffers, maxRead, pReadCount, pTick,
                                     pIndex, &missed) == Attempt::kStartOver) {
        return ReadUntilDone<kCountMissed>(ring, pBuffers, maxRead, pReadCount, pTick, pIndex);
    }
    return missed;
}

// A sample's fields in their order, each stored whole: hold and trigger in one
// doubleword, then release and the stick in another, where the processor has
// single-copy atomic doubleword stores, otherwise one cell at a time. A
// template, so the branch a processor does not take is never compiled;
// inlined, so a write makes no call for it.
template <bool kDoublewords = fnd::PLAIN_DOUBLEWORD_ACCESS>
[[gnu::always_inline]] inline void StoreSample(IPadStatus& slot, const PadStatus& sample) {
    if constexpr (kDoublewords) {
        std::uint64_t words[sizeof(IPadStatus) / sizeof(std::uint64_t)];
        std::memcpy(words, &sample, sizeof words);
        fnd::StoreDoublewords(&slot, words);
    } else {
        slot.hold = sample.hold;
        slot.trigger = sample.trigger;
        slot.release = sample.release;
        slot.stick.x = sample.stick.x;
        slot.stick.y = sample.stick.y;
    }
}

// Stores the samples from pSample up to pEnd into the slots after slot,
// publishing each by its pointer, until one lands in slot 0: that one is
// published by a lap start, which is the caller's. Returns it, or pEnd if
// none did. Inlined in both callers, so WriteData makes no call for it.
[[gnu::always_inline]] inline const PadStatus* StoreUpToLapStart(PadLifoRing& ring,
                                                                 const PadStatus* pSample,
                                                                 const PadStatus* pEnd, s32 slot) {
    for (; pSample != pEnd; ++pSample) {
        slot = slot == kLastSlot ? 0 : slot + 1;
        // release: the last publication precedes these stores; pairs with reader's copy acquire
        fnd::ReleaseFence();
        StoreSample(ring.m_buffers[slot], *pSample);
        if (slot == 0) {
            return pSample;
        }
        // release: the sample's field stores come first; pairs with the reader's pointer acquire
        fnd::ReleaseFence();
        ring.m_writePointer = slot;
    }
    return pEnd;
}

// *pLapStart is in slot 0: begins its lap and writes on up to pEnd, through as
// many laps as that takes.
[[gnu::noinline]] void StartLapsAndWriteOn(PadLifoRing& ring, const PadStatus* pLapStart,
                                           const PadStatus* pEnd) {
    while (pLapStart != pEnd) {
        // The tick is taken after slot 0 has been filled.
        const s64 currentLapTick = ring.m_tickWriteZero;
        const s64 tickWriteZero = NextLapTick(currentLapTick);
        ring.m_oldTickWriteZero = currentLapTick;
        // Until the new tick lands the lap ticks are equal: readers then take
        // slot 7 as the newest, and a re-check that finds pointer 0 again one
        // lap later still sees the old lap tick move.
        // release: slot 0 and old lap tick precede pointer 0; pairs with reader's pointer acquire
        fnd::ReleaseFence();
        ring.m_writePointer = 0;
        // release: pointer 0 precedes the new lap tick; pairs with the reader's lap tick acquire
        fnd::ReleaseFence();
        ring.m_tickWriteZero = tickWriteZero;
        pLapStart = StoreUpToLapStart(ring, pLapStart + 1, pEnd, 0);
    }
}

}  // namespace

void PadLifoRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    if (!QOR_HIDLOW_CHECK(NULL != pBuffers)) {
        return;
    }
    // Only this writer changes the pointer, so one read serves the whole batch.
    const s32 tmpWritePointer = m_writePointer;
    // A damaged record must never steer a store outside m_buffers.
    if (!QOR_HIDLOW_CHECK(-1 <= tmpWritePointer && PAD_LIFORING_BUFFER_NUM > tmpWritePointer)) {
        return;
    }
    const PadStatus* const pEnd = pBuffers + (bufferNum > 0 ? bufferNum : 0);
    const PadStatus* const pLapStart = StoreUpToLapStart(*this, pBuffers, pEnd, tmpWritePointer);
    if (pLapStart != pEnd) {
        // Out of line and last, so a call that stays inside its lap keeps no
        // registers for it.
        StartLapsAndWriteOn(*this, pLapStart, pEnd);
    }
}

namespace {

// A counting read's result as the one register it is returned in. Merging
// the early returns' constant with the call's result as a struct, the
// compiler takes it apart and builds it again, ten instructions on every read.
using MissedBits = std::uint64_t;
static_assert(sizeof(MissedBits) == sizeof(PadLifoRingMissed));

inline MissedBits ToBits(PadLifoRingMissed missed) {
    MissedBits bits;
    std::memcpy(&bits, &missed, sizeof bits);
    return bits;
}

// The reader behind ReadData and, returning what it passes over,
// ReadDataCountingMissed. Inlined in both.
template <bool kCountMissed>
[[gnu::always_inline]] inline MissedBits ReadNewest(const PadLifoRing& ring, PadStatus* pBuffers,
                                                    s32 bufferNum, s32* pReadCount, s64* pTick,
                                                    s32* pIndex) {
    const MissedBits kNone = ToBits(PadLifoRingMissed{0, true});
    if (!QOR_HIDLOW_CHECK(NULL != pBuffers && NULL != pReadCount && NULL != pTick &&
                          NULL != pIndex)) {
        if (pReadCount != NULL) {
            *pReadCount = 0;
        }
        return kNone;
    }
    *pReadCount = 0;
    if (!QOR_HIDLOW_CHECK(-1 <= *pIndex && PAD_LIFORING_BUFFER_NUM > *pIndex) ||
        !QOR_HIDLOW_CHECK((*pIndex >= 0) == (*pTick >= 0)) || bufferNum <= 0) {
        return kNone;
    }
    // At most 7: the eighth slot back is the one the writer fills next, and its
    // stores follow nothing newer than this reader's snapshot, so the re-check
    // could not see them.
    const s32 maxRead = bufferNum < kLastSlot ? bufferNum : kLastSlot;

    // A look at the pointer and the lap tick ends the read when nothing can
    // be new: a polling consumer's usual read, which misses nothing. A cursor
    // is never newer than the ring, so a pointer equal to its slot, read
    // before a lap tick equal to its lap, is that very sample; the same slot
    // one lap on comes after a newer lap tick.
    const ControlSnapshot look = ReadPointerAndLapTick(ring);
#if defined(QOR_HIDLOW_FAULT_SHORTCUT_AT_LAP_START)
    const bool lapMayBeStarting = false;
#else
    // Pointer 0 beside the cursor's lap tick can also be the next lap's start
    // with its tick not stored yet, and slots 1 to 7 of the cursor's lap new.
    const bool lapMayBeStarting = look.writePointer == 0;
#endif
    if (look.writePointer == *pIndex && look.tickWriteZero == *pTick && !lapMayBeStarting) {
        return kNone;
    }
    // The read proper, from a snapshot of its own: out of line and last, so a
    // read that ends above saves no registers (the look would cost a read
    // that goes on more in registers than its two loads).
    return ToBits(ReadNewSamples<kCountMissed>(ring, pBuffers, maxRead, pReadCount, pTick, pIndex));
}

}  // namespace

void PadLifoRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                           s32* pIndex) const {
    ReadNewest<false>(*this, pBuffers, bufferNum, pReadCount, pTick, pIndex);
}

PadLifoRingMissed PadLifoRing::ReadDataCountingMissed(PadStatus* pBuffers, s32 bufferNum,
                                                      s32* pReadCount, s64* pTick,
                                                      s32* pIndex) const {
    const MissedBits bits = ReadNewest<true>(*this, pBuffers, bufferNum, pReadCount, pTick, pIndex);
    PadLifoRingMissed missed;
    std::memcpy(&missed, &bits, sizeof missed);
    return missed;
}

}  // namespace qor::hidlow::QVA
