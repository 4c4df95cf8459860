// Orderings between different cells. A cell orders nothing by itself, so the
// ring states each order it needs with one of these, next to the access it
// orders.
#pragma once

#include "qor/fnd/fnd_InterlockedLayer.h"

namespace qor::fnd {

// Cell loads before this fence are ordered before every load and store after
// it. Pairs with a ReleaseFence in another thread whose following store one of
// those loads observed.
inline void AcquireFence() {
    ProcessorInterlocked::AcquireFence();
}

// Loads and stores before this fence are ordered before every cell store after
// it. Pairs with an AcquireFence in a thread that observes one of those stores.
inline void ReleaseFence() {
    ProcessorInterlocked::ReleaseFence();
}

}  // namespace qor::fnd
