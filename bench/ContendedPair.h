// The two sides of a contended run: a reader that polls ReadData as fast as it
// can and tallies what it got, and a writer that writes one sample per call,
// flat out or at a fixed rate, and times its calls.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <type_traits>
#include <vector>

#include "PlainPadRing.h"

namespace qor::bench {

using Clock = std::chrono::steady_clock;

struct ReaderTally {
    std::uint64_t reads;
    std::uint64_t delivered;
    std::uint64_t retries;  // attempts started over, where the ring counts them
    bool retriesCounted;
    double seconds;
};

template <typename Ring, typename = void>
struct CountsRetries : std::false_type {};

template <typename Ring>
struct CountsRetries<Ring, std::void_t<decltype(Ring::ThreadRetries())>> : std::true_type {};

// Polls until stop is set, then reads once more, after the writer's last
// sample: every sample written and not delivered was then skipped for good.
template <typename Ring>
ReaderTally PollUntilStopped(const Ring& ring, const std::atomic<bool>& stop) {
    ReaderTally tally{};
    std::uint64_t retriesBefore = 0;
    if constexpr (CountsRetries<Ring>::value) {
        retriesBefore = Ring::ThreadRetries();
        tally.retriesCounted = true;
    }
    s64 tick = -1;
    s32 index = -1;
    PadStatus samples[kMaxRead];
    const Clock::time_point start = Clock::now();
    for (bool last = false; !last;) {
        // acquire: pairs with the writer's release after its last sample, which this read then sees
        last = stop.load(std::memory_order_acquire);
        s32 count = 0;
        ring.ReadData(samples, kMaxRead, &count, &tick, &index);
        ++tally.reads;
        tally.delivered += static_cast<std::uint64_t>(count);
    }
    tally.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if constexpr (CountsRetries<Ring>::value) {
        tally.retries = Ring::ThreadRetries() - retriesBefore;
    }
    return tally;
}

struct WriterTimes {
    double meanNs;
    double medianNs;  // paced runs only; flat out each call is too short to time alone
};

// Writes one sample per benchmark iteration and times the calls. Flat out
// (period zero) that is the loop's time over its samples. Paced, the writer
// spins to each deadline (sleeping would measure the processor waking up) and
// times each call on its own, so those figures include one clock read.
template <typename Ring>
WriterTimes WriteOnePerIteration(Ring& ring, benchmark::State& state, Clock::duration period) {
    const PadStatus sample = {0x1, 0x1, 0, {120, -40}};
    if (period == Clock::duration::zero()) {
        const Clock::time_point start = Clock::now();
        for (auto _ : state) {
            ring.WriteData(&sample, 1);
        }
        const std::chrono::duration<double, std::nano> elapsed = Clock::now() - start;
        return WriterTimes{elapsed.count() / static_cast<double>(state.iterations()), 0.0};
    }
    std::vector<Clock::duration> inside;
    inside.reserve(static_cast<std::size_t>(state.max_iterations));
    Clock::time_point deadline = Clock::now();
    for (auto _ : state) {
        deadline += period;
        Clock::time_point now;
        while ((now = Clock::now()) < deadline) {
        }
        ring.WriteData(&sample, 1);
        inside.push_back(Clock::now() - now);
        if (now - deadline > period) {
            deadline = now;  // preempted: carry on at the rate rather than catch up in a burst
        }
    }
    const std::chrono::duration<double, std::nano> total =
        std::accumulate(inside.begin(), inside.end(), Clock::duration{});
    std::nth_element(inside.begin(), inside.begin() + inside.size() / 2, inside.end());
    const std::chrono::duration<double, std::nano> median = inside[inside.size() / 2];
    return WriterTimes{total.count() / static_cast<double>(inside.size()), median.count()};
}

// The writer's mean (and, paced, median) time per sample; with a reader also
// reads per second, the share of the written samples it delivered and
// skipped, and retries per read where the ring counts them.
inline void ReportPair(benchmark::State& state, const WriterTimes& writer,
                       const ReaderTally* tally) {
    state.counters["writer_ns"] = writer.meanNs;
    if (writer.medianNs > 0) {
        state.counters["writer_median_ns"] = writer.medianNs;
    }
    if (tally == nullptr) {
        return;
    }
    const double written = static_cast<double>(state.iterations());
    const double reads = static_cast<double>(tally->reads);
    const double deliveredPct = 100.0 * static_cast<double>(tally->delivered) / written;
    state.counters["reads_per_s"] = reads / tally->seconds;
    state.counters["delivered_pct"] = deliveredPct;
    state.counters["skipped_pct"] = 100.0 - deliveredPct;
    if (tally->retriesCounted) {
        state.counters["retries_per_read"] = static_cast<double>(tally->retries) / reads;
    }
}

}  // namespace qor::bench
