// Out of line, like the ring's operations, so every variant pays the same call.
#include "MutexRing.h"

namespace qor::bench {

void MutexRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    WriteSamples(m_ring, pBuffers, bufferNum);
}

void MutexRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                         s32* pIndex) const {
    *pReadCount = 0;
    if (bufferNum <= 0) {
        return;
    }
    const std::lock_guard<std::mutex> lock(m_mutex);
    const ControlFields controls{m_ring.writePointer, m_ring.tickWriteZero,
                                 m_ring.oldTickWriteZero};
    const ReadPlan plan = PlanRead(controls, *pTick, *pIndex, MaxRead(bufferNum));
    if (plan.newestSlot < 0) {
        return;
    }
    CopySlots(m_ring, plan, pBuffers);
    Commit(plan, controls.tickWriteZero, pReadCount, pTick, pIndex);
}

}  // namespace qor::bench
