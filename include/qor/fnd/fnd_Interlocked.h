// The interlocked cell: a 16-, 32- or 64-bit value that every thread and
// process reads whole and writes whole, never seeing half of an update.
#pragma once

#include "qor/fnd/fnd_InterlockedLayer.h"

namespace qor::fnd {

// Exactly one member, so a cell has the size of T and can stand at a fixed
// offset inside a shared record. alignas keeps 64-bit cells 8-byte aligned
// even where the ABI aligns s64 to 4, so no 64-bit access straddles a line.
template <typename T>
class alignas(sizeof(T)) InterlockedVariable {
public:
    // The updater behind assignment: stores its operand, whatever the old value.
    struct AssignFunc {
        template <typename U>
        explicit AssignFunc(const U& operand) : m_operand(static_cast<T>(operand)) {}

        bool operator()(T& value) const {
            value = m_operand;
            return true;
        }

        T m_operand;
    };

    // Reads the cell again at every use; never a cached value.
    operator T() const { return ProcessorInterlocked::Load(&m_v); }

    template <typename U>
    void operator=(const U& x) {
        const AssignFunc assign(x);
        ProcessorInterlocked::Assign(&m_v, assign);
    }

    // cell = cell would otherwise be the implicit member-wise copy, a plain
    // volatile copy that may tear a 64-bit value: read whole, store whole.
    void operator=(const InterlockedVariable& other) { *this = static_cast<T>(other); }

    // Runs updater on a copy of the current value and stores the copy if it
    // returns true; the updater may run more than once, so it must depend
    // only on the value it is handed.
    template <typename UpdateFunc>
    bool AtomicUpdateConditional(UpdateFunc& updater) {
        return ProcessorInterlocked::AtomicUpdate(&m_v, updater);
    }

    volatile T m_v;
};

}  // namespace qor::fnd
