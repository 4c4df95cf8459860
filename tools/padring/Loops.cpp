#include "Loops.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "ReadCheck.h"
#include "StopSignal.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;

constexpr int kLargestBatch = 32;

// Relaxed: each counter is written by this loop alone and only displayed elsewhere.
void Store(std::atomic<std::int64_t>& counter, std::int64_t value) {
    counter.store(value, std::memory_order_relaxed);
}

Clock::duration Period(double hz) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
}

}  // namespace

void ProduceSamples(qor::hidlow::QVA::PadLifoRing& ring, double rateHz, Counters& counters,
                    const KeepGoing& keepGoing) {
    const Clock::time_point start = Clock::now();
    Sequence next = 0;
    std::int64_t calls = 0;
    PadStatus batch[kLargestBatch];
    while (keepGoing() && next <= kLastSequence) {
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = static_cast<Sequence>(std::floor(elapsed * rateHz)) + 1;
        const auto count = static_cast<int>(
            std::min<Sequence>({due - next, kLargestBatch, kLastSequence + 1 - next}));
        if (count > 0) {
            for (int i = 0; i < count; ++i) {
                batch[i] = PadSample(next + i);
            }
            ring.WriteData(batch, count);
            next += count;
            Store(counters.samples, next);
            Store(counters.calls, ++calls);
        }
        SleepUntil(start + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(static_cast<double>(next) / rateHz)));
    }
}

void ConsumeSamples(const qor::hidlow::QVA::PadLifoRing& ring, double pollHz, Counters& counters,
                    const KeepGoing& keepGoing) {
    constexpr qor::s32 kRoom = PAD_LIFORING_BUFFER_NUM - 1;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    ReadCheck check;
    std::int64_t calls = 0;
    std::int64_t emptyReads = 0;
    Clock::time_point next = Clock::now();
    while (keepGoing()) {
        PadStatus samples[kRoom];
        qor::s32 count = -1;
        ring.ReadData(samples, kRoom, &count, &tick, &index);
        const std::string problem = check.Take(samples, count, kRoom);
        if (!problem.empty()) {
            counters.RecordProblem(problem.c_str());
        }
        emptyReads += count == 0;
        Store(counters.calls, ++calls);
        Store(counters.emptyReads, emptyReads);
        Store(counters.samples, check.Received());
        Store(counters.skipped, check.Skipped());
        if (pollHz > 0) {
            next = std::max(next + Period(pollHz), Clock::now());
            SleepUntil(next);
        }
    }
}

}  // namespace padring
