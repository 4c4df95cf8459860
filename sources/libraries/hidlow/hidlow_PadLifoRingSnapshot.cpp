#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"

#include <cstddef>
#include <limits>

#include "hidlow_LifoRingSteps.h"

namespace qor::hidlow::QVA {
namespace {

constexpr const char* kFileName = SourceFileName(__FILE__);

}  // namespace

bool PadLifoRing::TakeSnapshot(PadLifoRingSnapshot* pSnapshot, s32 maxAttempts) const {
    if (!QOR_HIDLOW_CHECK(NULL != pSnapshot)) {
        return false;
    }
    for (s32 attempt = 0; attempt < maxAttempts; ++attempt) {
        const ControlSnapshot controls = ReadControls(*this);
        if (m_writePointer != controls.writePointer) {
            continue;  // confirmed as in ReadData: the pointer belongs to the lap of the ticks
        }
        // acquire: pairs with the releases the control reads saw; no copied field predates them
        fnd::AcquireFence();
        pSnapshot->writePointer = controls.writePointer;
        pSnapshot->tickWriteZero = controls.tickWriteZero;
        pSnapshot->oldTickWriteZero = controls.oldTickWriteZero;
        for (s32 slot = 0; slot < PAD_LIFORING_BUFFER_NUM; ++slot) {
            LoadSample(m_buffers[slot], &pSnapshot->buffers[slot]);
        }
        pSnapshot->svr2Volume = m_Svr2Volume;
        pSnapshot->rawButtons = m_RawButtons;
        pSnapshot->rawAnalogStick = {m_RawAnalogStick.x, m_RawAnalogStick.y};
        // acquire: pairs with the release before each slot's stores; newer fields move the re-check
        fnd::AcquireFence();
        if (!ControlsMoved(*this, controls)) {
            return true;
        }
    }
    return false;
}

s32 PadLifoRingSnapshot::NewestSlot() const {
    if (writePointer == 0 && tickWriteZero == oldTickWriteZero) {
        return tickWriteZero < 0 ? -1 : PAD_LIFORING_BUFFER_NUM - 1;
    }
    return writePointer;
}

// The writer leaves exactly these states: empty (pointer -1, no lap tick), a
// lap in progress (old lap tick older than the current one, or none in the
// first lap), and the moments of a lap start when both lap ticks are equal,
// with the pointer still on 7 (or -1 before the first lap) or already on 0.
PadLifoRingDamage PadLifoRingSnapshot::Damage() const {
    const bool lapBegun = tickWriteZero >= 0;
    if (writePointer < -1 || writePointer >= PAD_LIFORING_BUFFER_NUM) {
        return {"m_writePointer", "outside -1..7"};
    }
    if (oldTickWriteZero >= 0 && !lapBegun) {
        return {"m_oldTickWriteZero", "set while no lap has begun"};
    }
    if (writePointer < 0 && lapBegun) {
        return {"m_tickWriteZero", "set while nothing has been written"};
    }
    // Only the very first lap start publishes slot 0 before any lap tick.
    const bool firstLapStarting = writePointer == 0 && tickWriteZero == oldTickWriteZero;
    if (writePointer >= 0 && !lapBegun && !firstLapStarting) {
        return {"m_writePointer", "names a slot while no lap has begun"};
    }
    if (tickWriteZero == std::numeric_limits<s64>::max()) {
        return {"m_tickWriteZero", "at the largest tick: no later lap can be stamped"};
    }
    if (oldTickWriteZero > tickWriteZero) {
        return {"m_oldTickWriteZero", "newer than m_tickWriteZero"};
    }
    const bool lapStarting = lapBegun && oldTickWriteZero == tickWriteZero;
    if (lapStarting && writePointer != 0 && writePointer != PAD_LIFORING_BUFFER_NUM - 1) {
        return {"m_oldTickWriteZero", "equal to m_tickWriteZero away from a lap start"};
    }
    return {nullptr, nullptr};
}

}  // namespace qor::hidlow::QVA
