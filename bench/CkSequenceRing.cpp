// Out of line, like the ring's operations, so every variant pays the same call.
#include "CkSequenceRing.h"

namespace qor::bench {
namespace {

thread_local std::uint64_t t_retries = 0;

}  // namespace

CkSequenceRing::CkSequenceRing() {
    ck_sequence_init(&m_sequence);
    MakeEmpty(m_ring);
}

void CkSequenceRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    // Store fence after the odd count: pairs with the load fence in ck_sequence_read_retry, so a
    // reader that saw any of the stores below sees the count moved.
    ck_sequence_write_begin(&m_sequence);
    WriteSamples(m_ring, pBuffers, bufferNum);
    // Store fence before the even count: pairs with the load fence in ck_sequence_read_begin, so
    // a reader that sees this count sees every store above.
    ck_sequence_write_end(&m_sequence);
}

void CkSequenceRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                              s32* pIndex) const {
    *pReadCount = 0;
    if (bufferNum <= 0) {
        return;
    }
    const s32 maxRead = MaxRead(bufferNum);
    for (;;) {
        // Load fence after an even count: pairs with the writer's fence in ck_sequence_write_end;
        // the fields read below are no older than that count.
        const unsigned int version = ck_sequence_read_begin(&m_sequence);
        const s32 newest = m_ring.writePointer;
        const s64 lapTick = m_ring.tickWriteZero;
        const s64 oldLapTick = m_ring.oldTickWriteZero;
        // The count as the ring works it out; a writer publishes whole batches
        // here, so there is no lap start half done to allow for.
        s32 count;
        if (*pTick == lapTick) {
            count = newest - *pIndex;
        } else if (oldLapTick < 0) {
            count = newest + 1;
        } else if (*pTick < oldLapTick) {
            count = maxRead;
        } else {
            count = newest - *pIndex + kSlots;
        }
        const ReadPlan plan{newest, count < maxRead ? count : maxRead};
        CopySlots(m_ring, plan, pBuffers);
        // Load fence before the count: pairs with the writer's fence in ck_sequence_write_begin;
        // a field from a write that began after version makes the count differ.
        if (ck_sequence_read_retry(&m_sequence, version)) {
            ++t_retries;
            continue;
        }
        if (newest >= 0) {
            Commit(plan, lapTick, pReadCount, pTick, pIndex);
        }
        return;
    }
}

std::uint64_t CkSequenceRing::ThreadRetries() {
    return t_retries;
}

}  // namespace qor::bench
