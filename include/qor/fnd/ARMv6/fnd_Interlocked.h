// The ARMv6K processor layer: whole-value cell accesses through the exclusive
// load and store instructions, and the CP15 data memory barrier (ARMv6 has no
// DMB instruction). ARM state only: Thumb-1 has no exclusive accesses.
#pragma once

#include <type_traits>

#include "qor/types.h"

namespace qor::fnd::ARMv6 {

namespace detail {

// The exclusive pair for one access width. StoreRegEx returns 0 when the store
// happened, 1 when the reservation taken by LoadRegEx was lost meanwhile.
template <typename T>
struct LoadStoreRegEx;

template <>
struct LoadStoreRegEx<s16> {
    static s16 LoadRegEx(const volatile s16* p) {
        s16 value;
        __asm__ __volatile__("ldrexh %0, [%1]" : "=r"(value) : "r"(p) : "memory");
        return value;
    }
    static int StoreRegEx(volatile s16* p, s16 value) {
        int status;
        __asm__ __volatile__("strexh %0, %2, [%1]" : "=&r"(status) : "r"(p), "r"(value) : "memory");
        return status;
    }
};

template <>
struct LoadStoreRegEx<s32> {
    static s32 LoadRegEx(const volatile s32* p) {
        s32 value;
        __asm__ __volatile__("ldrex %0, [%1]" : "=r"(value) : "r"(p) : "memory");
        return value;
    }
    static int StoreRegEx(volatile s32* p, s32 value) {
        int status;
        __asm__ __volatile__("strex %0, %2, [%1]" : "=&r"(status) : "r"(p), "r"(value) : "memory");
        return status;
    }
};

// In ARM state the compiler keeps a 64-bit operand in an even/odd register
// pair (%0 and %H0), which is what LDREXD and STREXD require.
template <>
struct LoadStoreRegEx<s64> {
    static s64 LoadRegEx(const volatile s64* p) {
        s64 value;
        __asm__ __volatile__("ldrexd %0, %H0, [%1]" : "=&r"(value) : "r"(p) : "memory");
        return value;
    }
    static int StoreRegEx(volatile s64* p, s64 value) {
        int status;
        __asm__ __volatile__("strexd %0, %2, %H2, [%1]"
                             : "=&r"(status)
                             : "r"(p), "r"(value)
                             : "memory");
        return status;
    }
};

inline void ClearRegEx() {
    __asm__ __volatile__("clrex" ::: "memory");
}

// CP15 c7, c10, 5: the data memory barrier. Every load and store before it is
// observed by all processors before any load or store after it.
inline void DataMemoryBarrier() {
    __asm__ __volatile__("mcr p15, 0, %0, c7, c10, 5" : : "r"(0) : "memory");
}

}  // namespace detail

class Interlocked {
public:
    // A plain LDRD or STRD is single-copy atomic only per word, and LDREXD
    // and STREXD cost more than the cells' own accesses: runs of cells are
    // read and written cell by cell.
    static constexpr bool kPlainDoublewordAccess = false;

    // The exclusive access each value type goes through: halfword for s16,
    // word for s32 and bit32 (both as s32), doubleword for s64.
    template <typename T>
    struct AtomicStorageSelecter;

    template <typename T>
    static T Load(const volatile T* p) {
        using Storage = typename AtomicStorageSelecter<T>::Type;
        const volatile Storage* storage = reinterpret_cast<const volatile Storage*>(p);
        if constexpr (sizeof(T) == sizeof(s64)) {
            // LDRD is single-copy atomic only per 32-bit word on ARMv6, so a
            // 64-bit read is LDREXD, whose reservation is dropped at once.
            const Storage value = detail::LoadStoreRegEx<Storage>::LoadRegEx(storage);
            detail::ClearRegEx();
            return static_cast<T>(value);
        } else {
            // An aligned halfword or word load is single-copy atomic.
            return static_cast<T>(*storage);
        }
    }

    template <typename T, typename AssignFunc>
    static void Assign(volatile T* p, const AssignFunc& assign) {
        AtomicUpdate(p, assign);
    }

    // Exclusive-load, run the updater on the copy, exclusive-store it; a lost
    // reservation starts over with a fresh value, so the updater may run more
    // than once.
    template <typename T, typename UpdateFunc>
    static bool AtomicUpdate(volatile T* p, UpdateFunc& update,
                             typename std::enable_if<sizeof(T) <= sizeof(s64)>::type* = nullptr) {
        using Storage = typename AtomicStorageSelecter<T>::Type;
        using Access = detail::LoadStoreRegEx<Storage>;
        volatile Storage* storage = reinterpret_cast<volatile Storage*>(p);
        for (;;) {
            T value = static_cast<T>(Access::LoadRegEx(storage));
            if (!update(value)) {
                detail::ClearRegEx();
                return false;
            }
            if (Access::StoreRegEx(storage, static_cast<Storage>(value)) == 0) {
                return true;
            }
        }
    }

    // ARMv6 has no one-way barriers: both directions take the full barrier.
    static void AcquireFence() { detail::DataMemoryBarrier(); }
    static void ReleaseFence() { detail::DataMemoryBarrier(); }
};

template <>
struct Interlocked::AtomicStorageSelecter<s16> {
    using Type = s16;
};
template <>
struct Interlocked::AtomicStorageSelecter<s32> {
    using Type = s32;
};
template <>
struct Interlocked::AtomicStorageSelecter<bit32> {
    using Type = s32;
};
template <>
struct Interlocked::AtomicStorageSelecter<s64> {
    using Type = s64;
};

}  // namespace qor::fnd::ARMv6
