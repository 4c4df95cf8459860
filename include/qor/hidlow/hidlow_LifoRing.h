// The generic part of a newest-first ring: the three control fields that the
// single writer publishes and every reader snapshots and re-checks.
#pragma once

#include <cstddef>

#include "qor/fnd/fnd_Interlocked.h"
#include "qor/types.h"

namespace qor::hidlow {

struct LifoRing {
    // Tick taken when the writer last wrote slot 0: names the current lap.
    // Negative until the first lap begins.
    fnd::InterlockedVariable<s64> m_tickWriteZero;
    // m_tickWriteZero as it was before the current lap; negative in the first.
    fnd::InterlockedVariable<s64> m_oldTickWriteZero;
    // Slot of the newest sample, 0 to 7; -1 while nothing has been written.
    fnd::InterlockedVariable<s32> m_writePointer;
    s32 : 32;
};

static_assert(sizeof(LifoRing) == 24 && alignof(LifoRing) == 8);
static_assert(offsetof(LifoRing, m_tickWriteZero) == 0 &&
              offsetof(LifoRing, m_oldTickWriteZero) == 8 &&
              offsetof(LifoRing, m_writePointer) == 16);

}  // namespace qor::hidlow
