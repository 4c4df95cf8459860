// The generic part of a newest-first ring: the three control fields that the
// single writer publishes and every reader snapshots and re-checks.
#pragma once

#include <cstddef>
#include <type_traits>

#include "qor/fnd/fnd_Interlocked.h"
#include "qor/types.h"

namespace qor::hidlow {

// A ring made in C++, `LifoRing ring;` or `ring{}`, starts empty: the
// initializers keep it an aggregate of the same layout, and leave memory that
// is only cast to a ring (shared memory) to its maker.
struct LifoRing {
    // Tick taken when the writer last wrote slot 0: names the current lap.
    // Negative until the first lap begins.
    fnd::InterlockedVariable<s64> m_tickWriteZero{-1};
    // m_tickWriteZero as it was before the current lap; negative in the first.
    fnd::InterlockedVariable<s64> m_oldTickWriteZero{-1};
    // Slot of the newest sample, 0 to 7; -1 while nothing has been written.
    fnd::InterlockedVariable<s32> m_writePointer{-1};
    s32 : 32;
};

static_assert(std::is_aggregate_v<LifoRing>);
static_assert(sizeof(LifoRing) == 24 && alignof(LifoRing) == 8);
static_assert(offsetof(LifoRing, m_tickWriteZero) == 0 &&
              offsetof(LifoRing, m_oldTickWriteZero) == 8 &&
              offsetof(LifoRing, m_writePointer) == 16);

}  // namespace qor::hidlow
