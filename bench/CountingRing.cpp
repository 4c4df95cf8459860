// Compiled, like the ring's source next to it, with the namespaces fnd and
// hidlow renamed (bench/CMakeLists.txt), so this copy of the ring and its cells
// link beside the library's without sharing a symbol.
#include "CountingRing.h"

#include <new>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace qor::bench {
namespace {

using CountedPadLifoRing = hidlow::QVA::PadLifoRing;

static_assert(sizeof(CountedPadLifoRing) == 168 && alignof(CountedPadLifoRing) == 8);

thread_local std::uint64_t t_calls = 0;
thread_local std::uint64_t t_pastTheLook = 0;  // calls that took a snapshot after the look

}  // namespace

CountingRing::CountingRing() {
    auto* ring = new (m_record) CountedPadLifoRing;
    ring->m_writePointer = -1;
    ring->m_tickWriteZero = -1;
    ring->m_oldTickWriteZero = -1;
    fnd::Test::g_countedOldLapTick = &ring->m_oldTickWriteZero.m_v;
}

void CountingRing::WriteData(const hid::QVA::PadStatus* pBuffers, s32 bufferNum) {
    std::launder(reinterpret_cast<CountedPadLifoRing*>(m_record))->WriteData(pBuffers, bufferNum);
}

void CountingRing::ReadData(hid::QVA::PadStatus* pBuffers, s32 bufferNum, s32* pReadCount,
                            s64* pTick, s32* pIndex) const {
    ++t_calls;
    const std::uint64_t oldLapTickLoads = fnd::Test::ThreadCellLoadCounts().oldLapTickLoads;
    std::launder(reinterpret_cast<const CountedPadLifoRing*>(m_record))
        ->ReadData(pBuffers, bufferNum, pReadCount, pTick, pIndex);
    t_pastTheLook += fnd::Test::ThreadCellLoadCounts().oldLapTickLoads != oldLapTickLoads;
}

std::uint64_t CountingRing::ThreadRetries() {
    const fnd::Test::CellLoadCounts& counts = fnd::Test::ThreadCellLoadCounts();
    return counts.pointerLoads - counts.oldLapTickLoads - t_pastTheLook - t_calls;
}

}  // namespace qor::bench
