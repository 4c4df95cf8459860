// The platform's system tick, as far as qor uses it: a free-running, non-negative
// 64-bit counter. The default source is the steady clock in nanoseconds.
#pragma once

#include "qor/types.h"

namespace qor::svc {

using SystemTickSource = s64 (*)();

// The default source never returns a value <= one it returned before in this
// process. A source set below is called as it is, without that guarantee.
s64 GetSystemTick();

// Replaces the tick source (tests and embedders drive the tick with it) and
// returns the previous one; nullptr restores the default source.
SystemTickSource SetSystemTickSource(SystemTickSource source);

}  // namespace qor::svc

namespace qor::os {

struct Tick {
    static Tick GetSystemCurrent() { return Tick{svc::GetSystemTick()}; }

    operator s64() const { return m_Tick; }

    s64 m_Tick;
};

}  // namespace qor::os
