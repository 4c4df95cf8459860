#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

#include <cstddef>

#include "hidlow_LifoRingSteps.h"
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
#define QOR_HIDLOW_FAIL_UNLESS(condition)         \
    if (!(condition)) {                           \
        return FailedCheck{__LINE__, #condition}; \
    }

// Works out which slots are new to the cursor (*pTick, *pIndex) in the ring
// state the snapshot describes, and for the counting read how many samples
// after the cursor it passes over; touches nothing.
template <bool kCountMissed>
FailedCheck PlanRead(const ControlSnapshot& snapshot, const s64* pTick, const s32* pIndex,
                     s32 maxRead, ReadPlan* pPlan) {
    s32 writePointer = snapshot.writePointer;
    const s64 tickWriteZero = snapshot.tickWriteZero;
    const s64 oldTickWriteZero = snapshot.oldTickWriteZero;
    *pPlan = ReadPlan{-1, 0, {0, true}};

    QOR_HIDLOW_FAIL_UNLESS(-1 <= writePointer && PAD_LIFORING_BUFFER_NUM > writePointer);
    if (writePointer < 0) {
        return FailedCheck{};
    }
    if (writePointer == 0 && tickWriteZero == oldTickWriteZero) {
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
        if (*pTick >= 0) {
            pPlan->missed = PadLifoRingMissed{newer - pPlan->readCount, exact};
        }
    }
    return FailedCheck{};
}

#undef QOR_HIDLOW_FAIL_UNLESS

void StoreSample(IPadStatus& slot, const PadStatus& sample) {
    slot.hold = sample.hold;
    slot.trigger = sample.trigger;
    slot.release = sample.release;
    slot.stick.x = sample.stick.x;
    slot.stick.y = sample.stick.y;
}

}  // namespace

void PadLifoRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    if (!QOR_HIDLOW_CHECK(NULL != pBuffers)) {
        return;
    }
    // Only this writer changes the pointer, so one read serves the whole batch.
    s32 tmpWritePointer = m_writePointer;
    // A damaged record must never steer a store outside m_buffers.
    if (!QOR_HIDLOW_CHECK(-1 <= tmpWritePointer && PAD_LIFORING_BUFFER_NUM > tmpWritePointer)) {
        return;
    }

    for (s32 i = 0; i < bufferNum; ++i) {
        tmpWritePointer = tmpWritePointer == kLastSlot ? 0 : tmpWritePointer + 1;

        // release: the last publication precedes these stores; pairs with reader's copy acquire
        fnd::ReleaseFence();
        StoreSample(m_buffers[tmpWritePointer], pBuffers[i]);

        if (tmpWritePointer != 0) {
            // release: the five field stores come first; pairs with the reader's pointer acquire
            fnd::ReleaseFence();
            m_writePointer = tmpWritePointer;
            continue;
        }

        // A new lap: the tick is taken after slot 0 has been filled.
        const s64 currentLapTick = m_tickWriteZero;
        const s64 tickWriteZero = NextLapTick(currentLapTick);
        m_oldTickWriteZero = currentLapTick;
        // Until the new tick lands the lap ticks are equal: readers then take
        // slot 7 as the newest, and a re-check that finds pointer 0 again one
        // lap later still sees the old lap tick move.
        // release: slot 0 and old lap tick precede pointer 0; pairs with reader's pointer acquire
        fnd::ReleaseFence();
        m_writePointer = 0;
        // release: pointer 0 precedes the new lap tick; pairs with the reader's lap tick acquire
        fnd::ReleaseFence();
        m_tickWriteZero = tickWriteZero;
    }
}

namespace {

// The reader behind ReadData and, counting what it passes over into
// *pMissed, ReadDataCountingMissed.
template <bool kCountMissed>
void ReadNewest(const PadLifoRing& ring, PadStatus* pBuffers, s32 bufferNum, s32* pReadCount,
                s64* pTick, s32* pIndex, PadLifoRingMissed* pMissed) {
    if (!QOR_HIDLOW_CHECK(NULL != pBuffers && NULL != pReadCount && NULL != pTick &&
                          NULL != pIndex)) {
        if (pReadCount != NULL) {
            *pReadCount = 0;
        }
        return;
    }
    *pReadCount = 0;
    if (!QOR_HIDLOW_CHECK(-1 <= *pIndex && PAD_LIFORING_BUFFER_NUM > *pIndex) ||
        !QOR_HIDLOW_CHECK((*pIndex >= 0) == (*pTick >= 0)) || bufferNum <= 0) {
        return;
    }
    // At most 7: the eighth slot back is the one the writer fills next, and its
    // stores follow nothing newer than this reader's snapshot, so the re-check
    // could not see them.
    const s32 maxRead = bufferNum < kLastSlot ? bufferNum : kLastSlot;

    // The first snapshot stops after the lap tick when nothing can be new: a
    // polling consumer's usual read. A cursor is never newer than the ring,
    // so a pointer equal to its slot, read before a lap tick equal to its
    // lap, is that very sample; the same slot one lap on comes after a newer
    // lap tick.
    ControlSnapshot snapshot = ReadPointerAndLapTick(ring);
#if defined(QOR_HIDLOW_FAULT_SHORTCUT_AT_LAP_START)
    const bool lapMayBeStarting = false;
#else
    // Pointer 0 beside the cursor's lap tick can also be the next lap's start
    // with its tick not stored yet, and slots 1 to 7 of the cursor's lap new.
    const bool lapMayBeStarting = snapshot.writePointer == 0;
#endif
    if (snapshot.writePointer == *pIndex && snapshot.tickWriteZero == *pTick && !lapMayBeStarting) {
        return;
    }
    ReadOldLapTick(ring, &snapshot);

    for (;; snapshot = ReadControls(ring)) {
#if !defined(QOR_HIDLOW_FAULT_UNCONFIRMED_SNAPSHOT)
        // A reader stalled between its pointer read and its tick reads can
        // hold a pointer from an older lap beside a newer lap's ticks. Read
        // after the lap tick, an equal pointer belongs to the lap that tick
        // names; the old lap tick may be newer still, which the re-check after
        // the copy sees.
        if (ring.m_writePointer != snapshot.writePointer) {
            continue;
        }
#endif
        // acquire: pairs with the releases the control reads saw; no copied field predates them
        fnd::AcquireFence();

        ReadPlan plan{};
        const FailedCheck failed = PlanRead<kCountMissed>(snapshot, pTick, pIndex, maxRead, &plan);
        if (failed.condition != nullptr) {
#if !defined(QOR_HIDLOW_FAULT_REPORT_UNCONFIRMED)
            // A snapshot taken across a lap start can be a state the ring was
            // never in. Only controls that have not moved since make a failed
            // check a caller error or a damaged record.
            if (ControlsMoved(ring, snapshot)) {
                continue;
            }
#endif
            ReportFailedCheck(kFileName, failed.line, failed.condition);
            return;
        }
        if (plan.newestSlot < 0) {
            return;
        }

        // Newest first: down to slot 0, then on from slot 7, with no wrap
        // test per slot (a signed modulo per slot made a 7-sample read 15%
        // longer in instructions; a wrap test per slot cost it about a tenth
        // of its time), and unrolled: at most 7 slots, and another 8% off.
        const s32 beforeWrap =
            plan.readCount < plan.newestSlot + 1 ? plan.readCount : plan.newestSlot + 1;
#pragma GCC unroll 8
        for (s32 i = 0; i < beforeWrap; ++i) {
            LoadSample(ring.m_buffers[plan.newestSlot - i], &pBuffers[i]);
        }
#pragma GCC unroll 8
        for (s32 i = beforeWrap; i < plan.readCount; ++i) {
            LoadSample(ring.m_buffers[kLastSlot + beforeWrap - i], &pBuffers[i]);
        }
        // acquire: pairs with the release before each slot's stores; newer fields move the re-check
        fnd::AcquireFence();
        if (ControlsMoved(ring, snapshot)) {
            continue;
        }

        if constexpr (kCountMissed) {
            *pMissed = plan.missed;
        }
        *pReadCount = plan.readCount;
        *pTick = snapshot.tickWriteZero;
        *pIndex = plan.newestSlot;
        return;
    }
}

}  // namespace

void PadLifoRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                           s32* pIndex) const {
    ReadNewest<false>(*this, pBuffers, bufferNum, pReadCount, pTick, pIndex, nullptr);
}

PadLifoRingMissed PadLifoRing::ReadDataCountingMissed(PadStatus* pBuffers, s32 bufferNum,
                                                      s32* pReadCount, s64* pTick,
                                                      s32* pIndex) const {
    PadLifoRingMissed missed{0, true};
    ReadNewest<true>(*this, pBuffers, bufferNum, pReadCount, pTick, pIndex, &missed);
    return missed;
}

}  // namespace qor::hidlow::QVA
