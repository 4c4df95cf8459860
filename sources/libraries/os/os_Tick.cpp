#include "qor/os/os_Tick.h"

#include <atomic>
#include <chrono>

namespace qor::svc {
namespace {

std::atomic<SystemTickSource> g_source{nullptr};

// The clock can return one nanosecond twice (a coarse clock, or two threads);
// hand out the larger of the clock and one past the last value instead.
s64 MonotonicNanoseconds() {
    static std::atomic<s64> s_last{0};
    const s64 clock = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    // relaxed: only this one counter's own order matters, which its updates keep.
    s64 last = s_last.load(std::memory_order_relaxed);
    s64 next;
    do {
        next = clock > last ? clock : last + 1;
    } while (!s_last.compare_exchange_weak(last, next, std::memory_order_relaxed));
    return next;
}

}  // namespace

s64 GetSystemTick() {
    // acquire: pairs with the exchange in SetSystemTickSource; the source is set up before use.
    const SystemTickSource source = g_source.load(std::memory_order_acquire);
    return source != nullptr ? source() : MonotonicNanoseconds();
}

SystemTickSource SetSystemTickSource(SystemTickSource source) {
    // acq_rel: publishes the new source to GetSystemTick and hands back the one it replaces.
    return g_source.exchange(source, std::memory_order_acq_rel);
}

}  // namespace qor::svc
