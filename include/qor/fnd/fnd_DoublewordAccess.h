// Reading and writing a run of adjacent cells in whole 64-bit doublewords,
// where one plain aligned load or store of a doubleword is single-copy atomic:
// every cell that lies inside one doubleword is then read or written whole, in
// fewer accesses than one per cell. Cells in different doublewords may still
// be accessed at different moments, as with one access per cell, and the
// doublewords go in the order given. Where no such access exists (ARMv6),
// callers access the cells one by one.
#pragma once

#include <cstdint>

#include "qor/fnd/fnd_InterlockedLayer.h"

namespace qor::fnd {

constexpr bool PLAIN_DOUBLEWORD_ACCESS = ProcessorInterlocked::kPlainDoublewordAccess;

// source must be 8-byte aligned. Orders nothing: place fences as for cells.
template <int kCount, typename Layer = ProcessorInterlocked>
void LoadDoublewords(const volatile void* source, std::uint64_t (&destination)[kCount]) {
    static_assert(Layer::kPlainDoublewordAccess, "no single-copy atomic doubleword load here");
    Layer::LoadDoublewords(source, destination, kCount);
}

// destination must be 8-byte aligned; source[0] is stored first. Orders
// nothing: place fences as for cells.
template <int kCount, typename Layer = ProcessorInterlocked>
void StoreDoublewords(volatile void* destination, const std::uint64_t (&source)[kCount]) {
    static_assert(Layer::kPlainDoublewordAccess, "no single-copy atomic doubleword store here");
    Layer::StoreDoublewords(destination, source, kCount);
}

}  // namespace qor::fnd
