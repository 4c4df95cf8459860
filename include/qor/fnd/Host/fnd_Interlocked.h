// The host processor layer: whole-value cell accesses and fences through the
// compiler's __atomic builtins, which are lock-free for 2-, 4- and 8-byte values
// on the processors fnd_InterlockedLayer.h selects this layer for.
#pragma once

#include <cstdint>
#include <type_traits>

#include "qor/types.h"

#if defined(__SANITIZE_THREAD__)
#define QOR_FND_HOST_UNDER_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define QOR_FND_HOST_UNDER_TSAN 1
#endif
#endif

namespace qor::fnd::Host {

// A lock behind a cell would not work across processes sharing a ring.
static_assert(__atomic_always_lock_free(sizeof(s64), nullptr) &&
                  __atomic_always_lock_free(sizeof(s32), nullptr) &&
                  __atomic_always_lock_free(sizeof(s16), nullptr),
              "the host layer needs lock-free 16-, 32- and 64-bit atomics");

class Interlocked {
#if defined(QOR_FND_HOST_UNDER_TSAN)
    // ThreadSanitizer does not see standalone fences. Under it every load
    // acquires and every store releases, so each fence pairing the ring relies
    // on becomes an access pairing TSan follows (never weaker than the fences).
    static constexpr int kLoadOrder = __ATOMIC_ACQUIRE;
    static constexpr int kStoreOrder = __ATOMIC_RELEASE;
#else
    // A cell orders nothing by itself; the ring places the fences it needs.
    static constexpr int kLoadOrder = __ATOMIC_RELAXED;
    static constexpr int kStoreOrder = __ATOMIC_RELAXED;
#endif

public:
    // An aligned 8-byte load or store is single-copy atomic on x86-64 and
    // AArch64.
    static constexpr bool kPlainDoublewordAccess = true;

    template <typename T>
    static T Load(const volatile T* p) {
        return __atomic_load_n(p, kLoadOrder);
    }

    // count aligned doublewords, one load each, whatever cells lie inside.
    static void LoadDoublewords(const volatile void* source, std::uint64_t* destination,
                                int count) {
        using Doubleword = std::uint64_t __attribute__((may_alias));
        const auto* words = static_cast<const volatile Doubleword*>(source);
        for (int i = 0; i < count; ++i) {
            destination[i] = __atomic_load_n(&words[i], kLoadOrder);
        }
    }

    // count aligned doublewords, one store each, in order.
    static void StoreDoublewords(volatile void* destination, const std::uint64_t* source,
                                 int count) {
        using Doubleword = std::uint64_t __attribute__((may_alias));
        auto* words = static_cast<volatile Doubleword*>(destination);
        for (int i = 0; i < count; ++i) {
            __atomic_store_n(&words[i], source[i], kStoreOrder);
        }
    }

    // One whole-value store has the effect of the update loop run with an
    // updater that ignores the old value and always succeeds.
    template <typename T, typename AssignFunc>
    static void Assign(volatile T* p, const AssignFunc& assign) {
        __atomic_store_n(p, assign.m_operand, kStoreOrder);
    }

    // The updater sees a private copy of the current value; a failed
    // compare-and-swap hands it the fresh value again.
    template <typename T, typename UpdateFunc>
    static bool AtomicUpdate(volatile T* p, UpdateFunc& update,
                             typename std::enable_if<sizeof(T) <= sizeof(s64)>::type* = nullptr) {
        T expected = __atomic_load_n(p, kLoadOrder);
        for (;;) {
            T desired = expected;
            if (!update(desired)) {
                return false;
            }
            if (__atomic_compare_exchange_n(p, &expected, desired, true, kStoreOrder, kLoadOrder)) {
                return true;
            }
        }
    }

    // What each fence pairs with is said where the ring places it. Under TSan
    // the ordered loads and stores above stand in for both fences.
    static void AcquireFence() {
#if !defined(QOR_FND_HOST_UNDER_TSAN)
        __atomic_thread_fence(__ATOMIC_ACQUIRE);
#endif
    }

    static void ReleaseFence() {
#if !defined(QOR_FND_HOST_UNDER_TSAN)
        __atomic_thread_fence(__ATOMIC_RELEASE);
#endif
    }
};

}  // namespace qor::fnd::Host
