// What a producer or consumer loop has done so far. Each loop is the only
// writer of its counters; another process (the demo's display) may read them
// at any time, so they are lock-free atomics that can live in shared memory.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace padring {

struct Counters {
    std::atomic<std::int64_t> samples{0};  // written, or received
    std::atomic<std::int64_t> skipped{0};  // passed over between two received ones
    std::atomic<bool> skippedExact{true};  // false: skipped is a lower bound
    std::atomic<std::int64_t> calls{0};    // WriteData or ReadData calls
    std::atomic<std::int64_t> emptyReads{0};
    std::atomic<std::int64_t> problems{0};
    char firstProblem[200] = {};

    static_assert(std::atomic<std::int64_t>::is_always_lock_free &&
                      std::atomic<bool>::is_always_lock_free,
                  "counters are shared between processes, so they must not hide a lock");

    // Only the owning loop calls this.
    void RecordProblem(const char* problem) {
        // relaxed: only this loop changes the count, so it reads its own latest value.
        if (problems.load(std::memory_order_relaxed) == 0) {
            const std::size_t length = std::min(std::strlen(problem), sizeof firstProblem - 1);
            std::memcpy(firstProblem, problem, length);
            firstProblem[length] = '\0';
        }
        // release: pairs with the acquire in FirstProblem; the text is complete before it counts.
        problems.fetch_add(1, std::memory_order_release);
    }

    // The first problem recorded, or nullptr while there is none.
    const char* FirstProblem() const {
        // acquire: pairs with the release in RecordProblem.
        return problems.load(std::memory_order_acquire) > 0 ? firstProblem : nullptr;
    }
};

}  // namespace padring
