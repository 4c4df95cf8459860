// Ticks that never repeat or go back, made from a clock that may (a coarse
// clock, or two threads reading it in the same nanosecond): each is the larger
// of the clock and one past the last tick handed out.
#pragma once

#include <atomic>

#include "qor/types.h"

namespace qor::svc {

class MonotonicTicks {
public:
    s64 Next(s64 clock) {
        // relaxed: only this one counter's own order matters, which its updates keep.
        s64 last = m_last.load(std::memory_order_relaxed);
        s64 next;
        do {
            next = clock > last ? clock : last + 1;
        } while (!m_last.compare_exchange_weak(last, next, std::memory_order_relaxed));
        return next;
    }

private:
    std::atomic<s64> m_last{0};
};

}  // namespace qor::svc
