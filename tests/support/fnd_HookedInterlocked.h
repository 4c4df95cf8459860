// A test-only processor layer: the native layer with a hook called before every
// cell access, so a test can act between any two of the ring's cell accesses
// (hand the turn to another actor, check every address touched).
// The dispatch header includes it after declaring NativeInterlocked.
#pragma once

#include <cstdint>
#include <functional>

namespace qor::fnd::Test {

enum class CellAccess { kLoad, kStore };

using CellHook = std::function<void(const volatile void* address, CellAccess access)>;

inline CellHook g_installedCellHook;

inline void RunCellHook(const volatile void* address, CellAccess access) {
    if (g_installedCellHook) {
        g_installedCellHook(address, access);
    }
}

class ScopedCellHook {
public:
    explicit ScopedCellHook(CellHook hook) { g_installedCellHook = std::move(hook); }
    ~ScopedCellHook() { g_installedCellHook = nullptr; }
    ScopedCellHook(const ScopedCellHook&) = delete;
    ScopedCellHook& operator=(const ScopedCellHook&) = delete;
};

class Interlocked {
public:
    static constexpr bool kPlainDoublewordAccess = NativeInterlocked::kPlainDoublewordAccess;

    template <typename T>
    static T Load(const volatile T* p) {
        RunCellHook(p, CellAccess::kLoad);
        return NativeInterlocked::Load(p);
    }

    // One hook per doubleword: each is one access. Templates, so a native
    // layer without doubleword access never needs them.
    template <typename Native = NativeInterlocked>
    static void LoadDoublewords(const volatile void* source, std::uint64_t* destination,
                                int count) {
        const auto* words = static_cast<const volatile std::uint64_t*>(source);
        for (int i = 0; i < count; ++i) {
            RunCellHook(&words[i], CellAccess::kLoad);
            Native::LoadDoublewords(&words[i], &destination[i], 1);
        }
    }

    template <typename Native = NativeInterlocked>
    static void StoreDoublewords(volatile void* destination, const std::uint64_t* source,
                                 int count) {
        auto* words = static_cast<volatile std::uint64_t*>(destination);
        for (int i = 0; i < count; ++i) {
            RunCellHook(&words[i], CellAccess::kStore);
            Native::StoreDoublewords(&words[i], &source[i], 1);
        }
    }

    template <typename T, typename AssignFunc>
    static void Assign(volatile T* p, const AssignFunc& assign) {
        RunCellHook(p, CellAccess::kStore);
        NativeInterlocked::Assign(p, assign);
    }

    template <typename T, typename UpdateFunc>
    static bool AtomicUpdate(volatile T* p, UpdateFunc& update) {
        RunCellHook(p, CellAccess::kStore);
        return NativeInterlocked::AtomicUpdate(p, update);
    }

    static void AcquireFence() { NativeInterlocked::AcquireFence(); }
    static void ReleaseFence() { NativeInterlocked::ReleaseFence(); }
};

}  // namespace qor::fnd::Test
