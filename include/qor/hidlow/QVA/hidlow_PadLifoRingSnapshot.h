// A copy of a whole pad ring: the control fields and the slots as a reader
// sees them at one moment, and the fields the ring leaves to the rest of the
// input service as they stood. For tools that show a live ring and for a
// writer taking over a ring, never for consumers (ReadData is theirs).
#pragma once

#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/types.h"

namespace qor::hidlow::QVA {

// A control field that no healthy ring can hold: field names it (as in
// PadLifoRing), reason says why. Both nullptr when the controls are sound.
struct PadLifoRingDamage {
    const char* field;
    const char* reason;
};

struct PadLifoRingSnapshot {
    s64 tickWriteZero;
    s64 oldTickWriteZero;
    s32 writePointer;
    // Copied as they stand: the ring neither orders nor re-checks them.
    f32 svr2Volume;
    bit32 rawButtons;
    hid::QVA::AnalogStickStatus rawAnalogStick;
    // Slot k as PadLifoRing::m_buffers[k]. The slot after the newest is the one
    // the writer fills next, so it may hold a partly written sample; no reader
    // ever copies it.
    hid::QVA::PadStatus buffers[PAD_LIFORING_BUFFER_NUM];

    // The slot readers take as the newest sample, or -1 when they find none.
    // Pointer 0 with equal lap ticks is a lap start whose tick is not stored
    // yet: slot 7 is still the newest then. Meaningful only without Damage().
    s32 NewestSlot() const;

    // Which control field, if any, holds a value the writer never leaves.
    PadLifoRingDamage Damage() const;
};

}  // namespace qor::hidlow::QVA
