// The floor: the ring's algorithm in plain, non-atomic code. The same memory
// work (the same control reads and re-reads, the same slots copied, the same
// stores), with compiler barriers only where the ring has fences, and each slot
// copied as one plain 16-byte value rather than five cells. On x86-64 the
// ring's fences cost no instruction, so this is what the hardware needs.
//
// It has no consistency guarantee: under a concurrent writer its reads are
// data races. The contended benchmarks use it only as the cost of moving the
// same cache lines between processors.
#pragma once

#include <cstdint>

#include "PlainPadRing.h"

namespace qor::bench {

class FloorRing {
public:
    FloorRing() { MakeEmpty(m_ring); }

    void WriteData(const PadStatus* pBuffers, s32 bufferNum);
    void ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

    // Attempts that the calling thread's reads started over.
    static std::uint64_t ThreadRetries();

private:
    PlainPadRing m_ring;
};

}  // namespace qor::bench
