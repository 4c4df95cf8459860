// Out of line, like the ring's operations, so every variant pays the same call.
#include "FloorRing.h"

namespace qor::bench {
namespace {

thread_local std::uint64_t t_retries = 0;

ControlFields ReadControls(const PlainPadRing& ring) {
    ControlFields controls;
    controls.writePointer = ring.writePointer;
    CompilerBarrier();
    controls.tickWriteZero = ring.tickWriteZero;
    CompilerBarrier();
    controls.oldTickWriteZero = ring.oldTickWriteZero;
    return controls;
}

}  // namespace

void FloorRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    WriteSamples(m_ring, pBuffers, bufferNum);
}

void FloorRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                         s32* pIndex) const {
    *pReadCount = 0;
    if (bufferNum <= 0) {
        return;
    }
    for (;;) {
        const ControlFields snapshot = ReadControls(m_ring);
        if (m_ring.writePointer != snapshot.writePointer) {
            ++t_retries;
            continue;
        }
        CompilerBarrier();
        const ReadPlan plan = PlanRead(snapshot, *pTick, *pIndex, MaxRead(bufferNum));
        if (plan.newestSlot < 0) {
            return;
        }
        CopySlots(m_ring, plan, pBuffers);
        CompilerBarrier();
        if (ReadControls(m_ring) != snapshot) {
            ++t_retries;
            continue;
        }
        Commit(plan, snapshot.tickWriteZero, pReadCount, pTick, pIndex);
        return;
    }
}

std::uint64_t FloorRing::ThreadRetries() {
    return t_retries;
}

}  // namespace qor::bench
