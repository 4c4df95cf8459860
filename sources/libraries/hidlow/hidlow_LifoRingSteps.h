// The steps the ring's operations share: their failed-check report, the
// reader's snapshot of the control fields and its re-check, the whole-slot
// copy, and the writer's lap-tick rule.
// Private to the library. Everything here has internal linkage, so each
// operation's unit compiles it as if it were its own (the reader and writer
// exactly as before the other operations shared these steps); not every unit
// uses every step.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#include "qor/dbg/dbg_Enum.h"
#include "qor/fnd/fnd_DoublewordAccess.h"
#include "qor/fnd/fnd_Fence.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/os/os_Tick.h"

namespace qor::hidlow::QVA {
namespace {

// A unit that checks names itself once, for its reports:
//   constexpr const char* kFileName = SourceFileName(__FILE__);
constexpr const char* SourceFileName(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') {
            name = p + 1;
        }
    }
    return name;
}

[[maybe_unused]] void ReportFailedCheck(const char* fileName, int line, const char* condition) {
    qordbgBreakWithTMessage_(QOR_DBG_BREAK_REASON_ASSERT, fileName, line, "%s", condition);
}

// Yields whether condition holds, reporting its text when it does not. The
// break handler may return, so every caller then returns without touching the
// ring or the cursor.
#define QOR_HIDLOW_CHECK(condition)                    \
    (__builtin_expect(static_cast<bool>(condition), 1) \
         ? true                                        \
         : (ReportFailedCheck(kFileName, __LINE__, #condition), false))

struct ControlSnapshot {
    s32 writePointer;
    s64 tickWriteZero;
    s64 oldTickWriteZero;

    bool operator!=(const ControlSnapshot& other) const {
        return writePointer != other.writePointer || tickWriteZero != other.tickWriteZero ||
               oldTickWriteZero != other.oldTickWriteZero;
    }
};

// Pointer first, then the lap tick, then the old lap tick: each read is no
// older than what the writer had published when the read before it was made.
// In two steps, so a reader can stop after the first.
[[maybe_unused]] ControlSnapshot ReadPointerAndLapTick(const LifoRing& ring) {
    const s32 writePointer = ring.m_writePointer;
    // acquire: pairs with the release before each pointer store; later reads are no older
    fnd::AcquireFence();
    return ControlSnapshot{writePointer, ring.m_tickWriteZero, 0};
}

[[maybe_unused]] void ReadOldLapTick(const LifoRing& ring, ControlSnapshot* pSnapshot) {
    // acquire: pairs with the release before each lap tick store; later pointers are no older
    fnd::AcquireFence();
    pSnapshot->oldTickWriteZero = ring.m_oldTickWriteZero;
}

[[maybe_unused]] ControlSnapshot ReadControls(const LifoRing& ring) {
    ControlSnapshot snapshot = ReadPointerAndLapTick(ring);
    ReadOldLapTick(ring, &snapshot);
    return snapshot;
}

// Inlined, so a reader keeps its snapshot in registers instead of handing it
// to a call.
[[maybe_unused, gnu::always_inline]] inline bool ControlsMoved(const LifoRing& ring,
                                                               const ControlSnapshot& snapshot) {
    return ReadControls(ring) != snapshot;
}

// A slot's fields, each read whole: in two doublewords (hold and trigger,
// then release and the stick) where the processor has single-copy atomic
// doubleword loads, otherwise one cell at a time. Slots lie at offset 40 +
// 16 k of an 8-byte aligned record, so both doublewords are aligned. A
// template, so the branch a processor does not take is never compiled.
template <bool kDoublewords = fnd::PLAIN_DOUBLEWORD_ACCESS>
void LoadSample(const IPadStatus& slot, hid::QVA::PadStatus* pSample) {
    if constexpr (kDoublewords) {
        std::uint64_t words[sizeof(IPadStatus) / sizeof(std::uint64_t)];
        fnd::LoadDoublewords(&slot, words);
        std::memcpy(pSample, words, sizeof words);
    } else {
        pSample->hold = slot.hold;
        pSample->trigger = slot.trigger;
        pSample->release = slot.release;
        pSample->stick.x = slot.stick.x;
        pSample->stick.y = slot.stick.y;
    }
}

// A lap tick strictly larger than the current one, whatever the tick source
// returns: readers tell laps apart only by their ticks, and a coarse source
// can return one value for several laps of a long batch.
[[maybe_unused]] s64 NextLapTick(s64 currentLapTick) {
    const s64 tick = os::Tick::GetSystemCurrent();
    if (tick > currentLapTick || currentLapTick == std::numeric_limits<s64>::max()) {
        return tick;
    }
    return currentLapTick + 1;
}

}  // namespace
}  // namespace qor::hidlow::QVA
