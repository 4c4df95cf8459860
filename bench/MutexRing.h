// The ring's record behind a std::mutex: what a consumer of the ring would
// otherwise reach for. Writer and readers each hold the lock for a whole call;
// a reader never starts over, it waits.
#pragma once

#include <mutex>

#include "PlainPadRing.h"

namespace qor::bench {

class MutexRing {
public:
    MutexRing() { MakeEmpty(m_ring); }

    void WriteData(const PadStatus* pBuffers, s32 bufferNum);
    void ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

private:
    mutable std::mutex m_mutex;
    PlainPadRing m_ring;
};

}  // namespace qor::bench
