#include "Loops.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>

#include "ReadCheck.h"
#include "StopSignal.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;

constexpr int kLargestBatch = 32;
// A ring nobody writes needs one copy; a live one seldom more than a few.
constexpr qor::s32 kSnapshotAttempts = 1000;

// Relaxed: each counter is written by this loop alone and only displayed elsewhere.
void Store(std::atomic<std::int64_t>& counter, std::int64_t value) {
    counter.store(value, std::memory_order_relaxed);
}

Clock::duration Period(double hz) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / hz));
}

}  // namespace

Sequence NextInPattern(const qor::hidlow::QVA::PadLifoRing& ring) {
    qor::hidlow::QVA::PadLifoRingSnapshot snapshot;
    ring.TakeSnapshot(&snapshot, kSnapshotAttempts);
    const qor::s32 newest = snapshot.Damage().field == nullptr ? snapshot.NewestSlot() : -1;
    const Sequence sequence = newest < 0 ? -1 : SequenceOf(snapshot.buffers[newest]);
    return sequence < 0 || sequence >= kLastSequence ? 0 : sequence + 1;
}

void ProduceSamples(qor::hidlow::QVA::PadLifoRing& ring, Sequence first, double rateHz,
                    Counters& counters, const KeepGoing& keepGoing) {
    const Clock::time_point start = Clock::now();
    Sequence written = 0;
    PadStatus batch[kLargestBatch];
    Store(counters.samples, first);
    while (keepGoing() && first + written <= kLastSequence) {
        const Sequence next = first + written;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const auto due = static_cast<Sequence>(std::floor(elapsed * rateHz)) + 1;
        const auto count = static_cast<int>(
            std::min<Sequence>({due - written, kLargestBatch, kLastSequence + 1 - next}));
        if (count > 0) {
            for (int i = 0; i < count; ++i) {
                batch[i] = PadSample(next + i);
            }
            ring.WriteData(batch, count);
            written += count;
            Store(counters.samples, next + count);
            // relaxed: only the one producer alive changes it; a display value.
            counters.calls.fetch_add(1, std::memory_order_relaxed);
        }
        SleepUntil(start +
                   std::chrono::duration_cast<Clock::duration>(
                       std::chrono::duration<double>(static_cast<double>(written) / rateHz)));
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
        const qor::hidlow::QVA::PadLifoRingMissed missed =
            ring.ReadDataCountingMissed(samples, kRoom, &count, &tick, &index);
        const std::string problem = check.Take(samples, count, kRoom, missed);
        if (!problem.empty()) {
            counters.RecordProblem(problem.c_str());
        }
        emptyReads += count == 0;
        Store(counters.calls, ++calls);
        Store(counters.emptyReads, emptyReads);
        Store(counters.samples, check.Received());
        Store(counters.skipped, check.Skipped());
        // relaxed: a display value, like the counters.
        counters.skippedExact.store(check.SkippedExact(), std::memory_order_relaxed);
        if (pollHz > 0) {
            next = std::max(next + Period(pollHz), Clock::now());
            SleepUntil(next);
        }
    }
}

}  // namespace padring
