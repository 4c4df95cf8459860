// The processor layer under the benchmark's second copy of the ring: the native
// layer, plus a per-thread count of loads of the write pointer (the ring's only
// s32 cell) and of the old lap tick. ReadData loads them so:
//   look            pointer, lap tick          (a read that finds nothing new ends here)
//   each attempt    snapshot: pointer, lap tick, old lap tick
//                   confirm: pointer           (an attempt that fails it ends here)
//                   re-check: pointer, lap tick, old lap tick
// so every attempt, and the look, loads the pointer once more than the old lap
// tick, on every path: a read's attempts are its pointer loads less its old lap
// tick loads, less one for the look if it went on (loaded an old lap tick at
// all), and a read that ends at the look counts as one attempt. The two lap
// ticks are both s64 cells and are told apart by address. The dispatch header
// includes it after declaring NativeInterlocked.
#pragma once

#include <cstdint>
#include <type_traits>

namespace qor::fnd::Test {

struct CellLoadCounts {
    std::uint64_t pointerLoads;
    std::uint64_t oldLapTickLoads;
};

// The old lap tick of the counted ring, set by its constructor before any
// thread or process reads it; one counted ring at a time.
inline const volatile void* g_countedOldLapTick = nullptr;

inline CellLoadCounts& ThreadCellLoadCounts() {
    static thread_local CellLoadCounts counts{};
    return counts;
}

class Interlocked {
public:
    static constexpr bool kPlainDoublewordAccess = NativeInterlocked::kPlainDoublewordAccess;

    template <typename T>
    static T Load(const volatile T* p) {
        if constexpr (std::is_same_v<T, s32>) {
            ++ThreadCellLoadCounts().pointerLoads;
        } else if constexpr (std::is_same_v<T, s64>) {
            if (p == g_countedOldLapTick) {
                ++ThreadCellLoadCounts().oldLapTickLoads;
            }
        }
        return NativeInterlocked::Load(p);
    }

    template <typename Native = NativeInterlocked>
    static void LoadDoublewords(const volatile void* source, std::uint64_t* destination,
                                int count) {
        Native::LoadDoublewords(source, destination, count);
    }

    template <typename Native = NativeInterlocked>
    static void StoreDoublewords(volatile void* destination, const std::uint64_t* source,
                                 int count) {
        Native::StoreDoublewords(destination, source, count);
    }

    template <typename T, typename AssignFunc>
    static void Assign(volatile T* p, const AssignFunc& assign) {
        NativeInterlocked::Assign(p, assign);
    }

    template <typename T, typename UpdateFunc>
    static bool AtomicUpdate(volatile T* p, UpdateFunc& update) {
        return NativeInterlocked::AtomicUpdate(p, update);
    }

    static void AcquireFence() { NativeInterlocked::AcquireFence(); }
    static void ReleaseFence() { NativeInterlocked::ReleaseFence(); }
};

}  // namespace qor::fnd::Test
