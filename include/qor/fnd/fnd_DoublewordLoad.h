// Reading a run of adjacent cells in whole 64-bit doublewords, where one plain
// aligned load of a doubleword is single-copy atomic: every cell that lies
// inside one doubleword is then read whole, in fewer loads than one per cell.
// Cells in different doublewords may still be read at different moments, as
// with one load per cell. Where no such load exists (ARMv6), callers read the
// cells one by one.
#pragma once

#include <cstdint>

#include "qor/fnd/fnd_InterlockedLayer.h"

namespace qor::fnd {

constexpr bool PLAIN_DOUBLEWORD_LOADS = ProcessorInterlocked::kPlainDoublewordLoads;

// source must be 8-byte aligned. Orders nothing: place fences as for cells.
template <int kCount, typename Layer = ProcessorInterlocked>
void LoadDoublewords(const volatile void* source, std::uint64_t (&destination)[kCount]) {
    static_assert(Layer::kPlainDoublewordLoads, "no single-copy atomic doubleword load here");
    Layer::LoadDoublewords(source, destination, kCount);
}

}  // namespace qor::fnd
