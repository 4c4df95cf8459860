// Pins the writer and the reader to a processor each, so that they run side
// by side for the whole run and the scheduler cannot move them.
#pragma once

#include <pthread.h>
#include <sched.h>

namespace qor::bench {

// Processor numbers; -1 leaves that side unpinned.
struct Placement {
    int writer = -1;
    int reader = -1;
};

// The first two processors this process may run on, or unpinned where it may
// run on fewer.
inline Placement ChoosePlacement() {
    cpu_set_t allowed;
    Placement placement;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        return placement;
    }
    int found[2] = {-1, -1};
    int count = 0;
    for (int cpu = 0; cpu < CPU_SETSIZE && count < 2; ++cpu) {
        if (CPU_ISSET(cpu, &allowed)) {
            found[count++] = cpu;
        }
    }
    if (count == 2) {
        placement.writer = found[0];
        placement.reader = found[1];
    }
    return placement;
}

// Pins the calling thread; false, leaving it as it was, if cpu is -1 or the
// system refuses.
inline bool PinThisThreadTo(int cpu) {
    if (cpu < 0) {
        return false;
    }
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return pthread_setaffinity_np(pthread_self(), sizeof(one), &one) == 0;
}

}  // namespace qor::bench
