#include "qor/os/os_Tick.h"

#include <atomic>
#include <chrono>

#include "os_MonotonicTicks.h"

namespace qor::svc {
namespace {

std::atomic<SystemTickSource> g_source{nullptr};

s64 MonotonicNanoseconds() {
    static MonotonicTicks s_ticks;
    return s_ticks.Next(std::chrono::duration_cast<std::chrono::nanoseconds>(
                            std::chrono::steady_clock::now().time_since_epoch())
                            .count());
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
