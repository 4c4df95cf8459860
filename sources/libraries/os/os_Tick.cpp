#include "qor/os/os_Tick.h"

#include <atomic>
#include <ctime>

namespace qor::svc {
namespace {

std::atomic<SystemTickSource> g_source{nullptr};

// The monotonic clock can return one nanosecond twice on a coarse clock or to
// two threads; the ring's lap ticks must strictly increase, so hand out the
// larger of the clock and one past the last value.
s64 MonotonicNanoseconds() {
    static std::atomic<s64> s_last{0};
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const s64 clock = static_cast<s64>(now.tv_sec) * 1000000000 + now.tv_nsec;
    s64 last = s_last.load(std::memory_order_relaxed);
    s64 next;
    do {
        next = clock > last ? clock : last + 1;
    } while (!s_last.compare_exchange_weak(last, next, std::memory_order_relaxed));
    return next;
}

}  // namespace

s64 GetSystemTick() {
    const SystemTickSource source = g_source.load(std::memory_order_acquire);
    return source != nullptr ? source() : MonotonicNanoseconds();
}

SystemTickSource SetSystemTickSource(SystemTickSource source) {
    return g_source.exchange(source, std::memory_order_acq_rel);
}

}  // namespace qor::svc
