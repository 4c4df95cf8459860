// The library's ring compiled a second time, from its own source, over a layer
// that counts the reader's attempts (CountingInterlocked.h). The benchmark
// takes retries per read from this copy and every timing from the library's
// ring, whose code carries no counter.
#pragma once

#include <cstdint>

#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/types.h"

namespace qor::bench {

class CountingRing {
public:
    CountingRing();

    void WriteData(const hid::QVA::PadStatus* pBuffers, s32 bufferNum);
    void ReadData(hid::QVA::PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

    // Attempts beyond the first in the calling thread's ReadData calls so far.
    static std::uint64_t ThreadRetries();

private:
    // The ring record itself (168 bytes); its type is only visible to the copy.
    alignas(8) unsigned char m_record[168];
};

}  // namespace qor::bench
