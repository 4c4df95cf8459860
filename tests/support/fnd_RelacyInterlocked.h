// A test-only processor layer for the Relacy model checker. Every cell of the
// one record under test is shadowed by a Relacy atomic, loaded and stored
// relaxed as the host layer does, and the fences are Relacy fences: the real
// WriteData and ReadData run under the C++ memory model, every ordering they
// rely on stated by the ring itself.
#pragma once

#include <relacy/relacy.hpp>

// relacy.hpp renames new and delete for the code under test; the headers
// included after this one need the keywords ("= delete"). Its other renames
// (malloc, free, the memory orders) name nothing those headers use.
#undef new
#undef delete

#include <type_traits>

#include "qor/types.h"

namespace qor::fnd::Test {

// Whether to leave out a fence, to prove that the model sees it matter. A
// fence takes effect at its thread's next cell access (nothing shared happens
// in between), so it is told by that access: the cell and load or store.
using FenceFilter = bool (*)(bool release, const volatile void* nextCell, bool nextIsStore);

struct ShadowedRecord {
    static constexpr int kMaxThreads = 4;
    static constexpr int kCells = 168 / 2;  // one per 2 bytes: a shadow for every cell width

    const volatile char* base = nullptr;
    rl::atomic<s64>* cells = nullptr;
    FenceFilter leaveOut = nullptr;
    bool pendingAcquire[kMaxThreads] = {};
    bool pendingRelease[kMaxThreads] = {};
};

inline ShadowedRecord g_shadowed;

class Interlocked {
public:
    // Relacy shadows each cell on its own: runs of cells are read and written
    // cell by cell, which allows every interleaving doubleword accesses allow
    // and more.
    static constexpr bool kPlainDoublewordAccess = false;

    template <typename T>
    static T Load(const volatile T* p) {
        ApplyPendingFences(p, false);
        return static_cast<T>(Cell(p).load(rl::mo_relaxed, $));
    }

    template <typename T, typename AssignFunc>
    static void Assign(volatile T* p, const AssignFunc& assign) {
        ApplyPendingFences(p, true);
        Cell(p).store(static_cast<s64>(assign.m_operand), rl::mo_relaxed, $);
    }

    template <typename T, typename UpdateFunc>
    static bool AtomicUpdate(volatile T* p, UpdateFunc& update,
                             typename std::enable_if<sizeof(T) <= sizeof(s64)>::type* = nullptr) {
        ApplyPendingFences(p, true);
        s64 expected = Cell(p).load(rl::mo_relaxed, $);
        for (;;) {
            T desired = static_cast<T>(expected);
            if (!update(desired)) {
                return false;
            }
            if (Cell(p).compare_exchange_weak(expected, static_cast<s64>(desired), rl::mo_relaxed,
                                              $)) {
                return true;
            }
        }
    }

    static void AcquireFence() { g_shadowed.pendingAcquire[rl::thread_index()] = true; }
    static void ReleaseFence() { g_shadowed.pendingRelease[rl::thread_index()] = true; }

private:
    static rl::atomic<s64>& Cell(const volatile void* p) {
        const ShadowedRecord& record = g_shadowed;
        const auto offset = static_cast<const volatile char*>(p) - record.base;
        RL_ASSERT(offset >= 0 && offset < 2 * ShadowedRecord::kCells);
        return record.cells[offset / 2];
    }

    static void ApplyPendingFences(const volatile void* p, bool store) {
        ShadowedRecord& record = g_shadowed;
        const unsigned thread = rl::thread_index();
        const auto keep = [&](bool release) {
            return record.leaveOut == nullptr || !record.leaveOut(release, p, store);
        };
        // The ring's own fences, each pairing as its comment in the ring says.
        if (record.pendingRelease[thread] && keep(true)) {
            rl::atomic_thread_fence(rl::mo_release, $);
        }
        if (record.pendingAcquire[thread] && keep(false)) {
            rl::atomic_thread_fence(rl::mo_acquire, $);
        }
        record.pendingRelease[thread] = false;
        record.pendingAcquire[thread] = false;
    }
};

}  // namespace qor::fnd::Test
