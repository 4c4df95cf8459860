// The ring's record behind a sequence lock, the usual general-purpose answer:
// one counter, odd while the writer is inside. A reader copies out the whole
// record between two reads of the counter and starts over if the counter was
// odd or moved, then works on its private copy.
//
// The record is kept as 21 64-bit atomic words (the 168 bytes of the ring's
// layout), so the copy-out is word-wide and free of data races.
#pragma once

#include <atomic>
#include <cstdint>

#include "PlainPadRing.h"

namespace qor::bench {

class SeqLockRing {
public:
    SeqLockRing();

    void WriteData(const PadStatus* pBuffers, s32 bufferNum);
    void ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

    // Attempts that the calling thread's reads started over.
    static std::uint64_t ThreadRetries();

private:
    static constexpr int kWords = sizeof(PlainPadRing) / sizeof(std::uint64_t);

    std::atomic<std::uint32_t> m_sequence{0};
    std::atomic<std::uint64_t> m_words[kWords];
};

}  // namespace qor::bench
