// The processor layer under the benchmark's second copy of the ring: the native
// layer, plus a per-thread count of loads of 32-bit signed cells and of 64-bit
// cells. In the ring the only s32 cell is the write pointer and the only s64
// cells are the two lap ticks, and every attempt of ReadData loads the pointer
// exactly once more than half as often as the lap ticks:
//   snapshot  pointer, lap tick, old lap tick
//   confirm   pointer                       (an attempt that fails it ends here)
//   re-check  pointer, lap tick, old lap tick
// so attempts = pointer loads - lap tick loads / 2, on every path. The dispatch
// header includes it after declaring NativeInterlocked.
#pragma once

#include <cstdint>
#include <type_traits>

namespace qor::fnd::Test {

struct CellLoadCounts {
    std::uint64_t pointerLoads;
    std::uint64_t lapTickLoads;
};

inline CellLoadCounts& ThreadCellLoadCounts() {
    static thread_local CellLoadCounts counts{};
    return counts;
}

class Interlocked {
public:
    static constexpr bool kPlainDoublewordLoads = NativeInterlocked::kPlainDoublewordLoads;

    template <typename T>
    static T Load(const volatile T* p) {
        if constexpr (std::is_same_v<T, s32>) {
            ++ThreadCellLoadCounts().pointerLoads;
        } else if constexpr (std::is_same_v<T, s64>) {
            ++ThreadCellLoadCounts().lapTickLoads;
        }
        return NativeInterlocked::Load(p);
    }

    template <typename Native = NativeInterlocked>
    static void LoadDoublewords(const volatile void* source, std::uint64_t* destination,
                                int count) {
        Native::LoadDoublewords(source, destination, count);
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
