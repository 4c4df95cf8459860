// Out of line, like the ring's operations, so every variant pays the same call.
#include "MutexRing.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace qor::bench {
namespace {

// Initial-exec TLS (bench/CMakeLists.txt): the benchmark's readers, which
// mark nothing, pay one load and a branch for it.
thread_local s32 t_mark = 0;

[[noreturn]] void Fail(const char* what, int error) {
    std::fprintf(stderr, "MutexRing: %s: %s\n", what, std::strerror(error));
    std::abort();
}

}  // namespace

MutexRing::MutexRing() {
    pthread_mutexattr_t attributes;
    pthread_mutexattr_init(&attributes);
    pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
    const int result = pthread_mutex_init(&m_mutex, &attributes);
    pthread_mutexattr_destroy(&attributes);
    if (result != 0) {
        Fail("pthread_mutex_init", result);
    }
    MakeEmpty(m_ring);
}

MutexRing::~MutexRing() {
    pthread_mutex_destroy(&m_mutex);
}

void MutexRing::Lock() const {
    const int result = pthread_mutex_lock(&m_mutex);
    if (result == 0) {
        return;
    }
    if (result != EOWNERDEAD) {
        Fail("pthread_mutex_lock", result);
    }
    // A reader that died changed nothing in the record. A writer that died may
    // have left a slot half stored, which the next read delivers as it is: the
    // record keeps nothing that would tell, so it is not repaired here.
    const int consistent = pthread_mutex_consistent(&m_mutex);
    if (consistent != 0) {
        Fail("pthread_mutex_consistent", consistent);
    }
    ++m_recoveries;
    // relaxed: the dead holder's mark is cleared under the lock, which orders it for the next
    // holder; only a harness reads it, once the process it looks at has stopped.
    m_markedHolder.store(0, std::memory_order_relaxed);
}

void MutexRing::Unlock() const {
    const int result = pthread_mutex_unlock(&m_mutex);
    if (result != 0) {
        Fail("pthread_mutex_unlock", result);
    }
}

void MutexRing::WriteData(const PadStatus* pBuffers, s32 bufferNum) {
    Lock();
    WriteSamples(m_ring, pBuffers, bufferNum);
    Unlock();
}

void MutexRing::ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                         s32* pIndex) const {
    *pReadCount = 0;
    if (bufferNum <= 0) {
        return;
    }
    Lock();
    const s32 mark = t_mark;
    if (mark != 0) {
        // relaxed: the lock's acquire keeps this store after the lock is taken; a harness reads
        // it only from a process it has stopped, whose stores have then all landed.
        m_markedHolder.store(mark, std::memory_order_relaxed);
    }
    const ControlFields controls{m_ring.writePointer, m_ring.tickWriteZero,
                                 m_ring.oldTickWriteZero};
    const ReadPlan plan = PlanRead(controls, *pTick, *pIndex, MaxRead(bufferNum));
    if (plan.newestSlot >= 0) {
        CopySlots(m_ring, plan, pBuffers);
        Commit(plan, controls.tickWriteZero, pReadCount, pTick, pIndex);
    }
    if (mark != 0) {
        // relaxed: the unlock's release keeps this store before the lock is given up.
        m_markedHolder.store(0, std::memory_order_relaxed);
    }
    Unlock();
}

void MutexRing::MarkThreadReads(s32 mark) {
    t_mark = mark;
}

s32 MutexRing::MarkedHolder() const {
    // relaxed: read from a holder that cannot move; its last store landed when it stopped.
    return m_markedHolder.load(std::memory_order_relaxed);
}

s32 MutexRing::Recoveries() const {
    Lock();
    const s32 recoveries = m_recoveries;
    Unlock();
    return recoveries;
}

}  // namespace qor::bench
