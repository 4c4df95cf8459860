// What a consumer's cursor tells about the samples it missed: those the
// producer wrote between two reads that the second read had no room for.
#pragma once

#include "qor/types.h"

namespace padring {

// The samples missed by a read that moved the cursor from (tickBefore,
// indexBefore) to (tick, index) and delivered count samples. Exact while the
// producer stays within one lap (eight samples) of the cursor; when it got
// further ahead, the ring no longer says how far, and this is a lower bound.
qor::s64 MissedSamples(qor::s64 tickBefore, qor::s32 indexBefore, qor::s64 tick, qor::s32 index,
                       qor::s32 count);

}  // namespace padring
