// The ring's record behind a lock: what a consumer of the ring would otherwise
// reach for. Writer and readers each hold the lock for a whole call; a reader
// never starts over, it waits, and so does the writer while a reader holds it.
//
// The lock is a process-shared, robust pthread mutex beside the record, so the
// whole object may live in memory shared between processes, and a process that
// dies holding the lock does not stop the others: the next to lock it is told
// the owner died and makes it consistent again.
#pragma once

#include <pthread.h>

#include <atomic>

#include "PlainPadRing.h"

namespace qor::bench {

class MutexRing {
public:
    MutexRing();
    ~MutexRing();
    MutexRing(const MutexRing&) = delete;
    MutexRing& operator=(const MutexRing&) = delete;

    void WriteData(const PadStatus* pBuffers, s32 bufferNum);
    void ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const;

    // For a harness that stops or kills a reader while it holds the lock: from
    // now on the calling thread's reads put mark (non-zero) into the object
    // while they hold the lock. 0, the default, marks nothing.
    static void MarkThreadReads(s32 mark);

    // The mark of the reader that holds the lock now, or 0. Exact only for a
    // reader that cannot move meanwhile (stopped, or gone).
    s32 MarkedHolder() const;

    // How many times a caller found the lock's owner dead and recovered it.
    s32 Recoveries() const;

private:
    void Lock() const;
    void Unlock() const;

    mutable pthread_mutex_t m_mutex;
    mutable std::atomic<s32> m_markedHolder{0};
    mutable s32 m_recoveries = 0;  // under the lock
    PlainPadRing m_ring;
};

static_assert(std::atomic<s32>::is_always_lock_free, "a mark shared between processes");

}  // namespace qor::bench
