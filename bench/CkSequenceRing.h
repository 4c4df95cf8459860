// The ring's record behind Concurrency Kit's sequence counter (ck_sequence),
// the general-purpose answer a C or C++ program reaches for: the writer makes
// the counter odd around its stores. A reader, as lean as a careful user
// writes it, reads the three control fields, works out how many slots are new
// to its cursor and copies them in at most two runs, all between
// ck_sequence_read_begin, which waits for an even count, and
// ck_sequence_read_retry, and starts over if the count moved meanwhile.
//
// The slots are copied as plain 16-byte values while the writer may be
// storing them, as ck_sequence is meant to be used: a torn copy is thrown away
// by the retry, never delivered. The object holds no pointers, so it may live
// in memory shared between processes.
#pragma once

#include <ck_sequence.h>

#include <cstdint>

#include "PlainPadRing.h"

namespace qor::bench {

class CkSequenceRing {
public:
    CkSequenceRing();
    CkSequenceRing(const CkSequenceRing&) = delete;
    CkSequenceRing& operator=(const CkSequenceRing&) = delete;

    void WriteData(const PadStatus* pBuffers, s32 bufferNum);
    void ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

    // Attempts that ck_sequence_read_retry sent back in the calling thread's
    // reads. The wait for an even count inside ck_sequence_read_begin is not
    // an attempt and is not counted.
    static std::uint64_t ThreadRetries();

private:
    ck_sequence_t m_sequence;
    PlainPadRing m_ring;
};

}  // namespace qor::bench
