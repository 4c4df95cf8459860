// How fast the pad sample ring is, next to the floor (the same algorithm in
// plain code), a robust mutex ring and a ring on Concurrency Kit's
// ck_sequence, all in one run:
//   write/N/...        WriteData of N samples per call, time per sample
//   read/N/...         ReadData of a ring holding N samples new to the cursor
//                      (counting_read: the library's ReadDataCountingMissed;
//                      c_interface: qor_padring_read on a ring in shared memory)
//   pair/PACE/...      one writer and one reader thread on two processors
//   alone/PACE/...     the same writer with no reader
//   processes/PACE/... the pair with the ring in shared memory, reader forked
//   clock_read, line_transfer: what the figures above are built from
// The ring variants: ring (the library), floor, mutex, ck_sequence, and
// ring_counted (the library's source over a counting layer, for retries).
#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "CkSequenceRing.h"
#include "ContendedPair.h"
#include "CorePinning.h"
#include "CountingRing.h"
#include "FloorRing.h"
#include "MutexRing.h"
#include "SharedMemory.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/os/os_Tick.h"
#include "qor/padring.h"

namespace qor::bench {
namespace {

using hidlow::QVA::PadLifoRing;
using namespace std::chrono_literals;

Placement g_placement;

// Every writer stamps its laps from this source rather than the clock: a
// clock read (clock_read) costs more than writing several samples, and would
// hide the writers' own work. Only the writer of the benchmark running, on the
// main thread, calls it.
s64 CountingTick() {
    static s64 s_tick = 0;
    return ++s_tick;
}

// The library's ring read by ReadDataCountingMissed, its counts added up
// where the compiler cannot drop them (and without a memory clobber, which
// would cost the loop around the call more than the count costs the read).
struct CountingReadRing : PadLifoRing {
    void ReadData(PadStatus* pBuffers, s32 bufferNum, s32* pReadCount, s64* pTick,
                  s32* pIndex) const {
        m_missed += ReadDataCountingMissed(pBuffers, bufferNum, pReadCount, pTick, pIndex).count;
    }

    mutable s64 m_missed = 0;
};

PadStatus SampleNumber(int n) {
    return PadStatus{static_cast<bit32>(n), 0, 0, {static_cast<s16>(n), 0}};
}

// WriteData of batch samples per call, laps included (one slot in eight starts
// one), reported per sample.
template <typename Ring>
void Write(benchmark::State& state, s32 batch) {
    alignas(64) Ring ring;
    PadStatus samples[kSlots];
    for (int i = 0; i < kSlots; ++i) {
        samples[i] = SampleNumber(i);
    }
    for (auto _ : state) {
        ring.WriteData(samples, batch);
    }
    state.counters["per_sample"] = benchmark::Counter(
        batch, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// ReadData with room for 7, from a cursor that is fresh new samples behind a
// ring in its second lap with pointer 7 (so 7 new ones are slots 7 down to 1).
template <typename Ring>
void Read(benchmark::State& state, s32 fresh) {
    alignas(64) Ring ring;
    PadStatus samples[2 * kSlots];
    for (int i = 0; i < 2 * kSlots; ++i) {
        samples[i] = SampleNumber(i);
    }
    ring.WriteData(samples, 2 * kSlots);

    PadStatus delivered[kMaxRead];
    s32 count = 0;
    s64 lapTick = -1;
    s32 newest = -1;
    ring.ReadData(delivered, kMaxRead, &count, &lapTick, &newest);
    if (newest != kMaxRead) {
        state.SkipWithError("the prepared ring's newest sample is not in slot 7");
        return;
    }
    s64 tick = lapTick;
    s32 index = newest - fresh;
    for (auto _ : state) {
        tick = lapTick;
        index = newest - fresh;
        ring.ReadData(delivered, kMaxRead, &count, &tick, &index);
    }
    if (count != fresh || tick != lapTick || index != newest) {
        state.SkipWithError("the last read did not deliver what the cursor promised");
    }
}

// qor_padring_read, the C interface, on a ring in named shared memory made
// through it, as Read does: room for 7, a cursor fresh samples behind.
void ReadThroughC(benchmark::State& state, s32 fresh) {
    const std::string name = "qor-bench-c-" + std::to_string(getpid());
    qor_padring_producer* producer = nullptr;
    qor_padring_consumer* consumer = nullptr;
    qor_padring_error error{};
    if (qor_padring_producer_open(name.c_str(), 0600, &producer, &error) != QOR_PADRING_OK ||
        qor_padring_consumer_open(name.c_str(), nullptr, &consumer, &error) != QOR_PADRING_OK ||
        qor_padring_remove_name(producer, &error) != QOR_PADRING_OK) {
        state.SkipWithError(error.message);
        qor_padring_producer_close(producer);
        return;
    }
    qor_padring_sample samples[2 * kSlots];
    for (int i = 0; i < 2 * kSlots; ++i) {
        samples[i] = qor_padring_sample{static_cast<bit32>(i), 0, 0, static_cast<s16>(i), 0};
    }
    qor_padring_write(producer, samples, 2 * kSlots, nullptr);

    qor_padring_sample delivered[kMaxRead];
    s32 count = 0;
    s32 missed = 0;
    bool exact = true;
    qor_padring_cursor newest = QOR_PADRING_CURSOR_NEW;
    qor_padring_read(consumer, delivered, kMaxRead, &count, &newest, &missed, &exact, nullptr);
    qor_padring_cursor cursor = newest;
    for (auto _ : state) {
        cursor = qor_padring_cursor{newest.lap_tick, newest.slot - fresh};
        qor_padring_read(consumer, delivered, kMaxRead, &count, &cursor, &missed, &exact, nullptr);
    }
    if (count != fresh || cursor.slot != newest.slot || newest.slot != kMaxRead) {
        state.SkipWithError("the last read did not deliver what the cursor promised");
    }
    qor_padring_consumer_close(consumer);
    qor_padring_producer_close(producer);
}

void ClockRead(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(Clock::now());
    }
}

// One cache line handed back and forth between the writer's and the reader's
// processors, for the cost of moving a line the other side has just touched:
// what every contended figure below is built from. Reported per transfer.
void LineTransfer(benchmark::State& state) {
    struct alignas(64) Line {
        std::atomic<std::uint64_t> turn{0};
    };
    const auto line = std::make_unique<Line>();
    const auto stop = std::make_unique<Line>();
    std::thread echo([&line, &stop] {
        PinThisThreadTo(g_placement.reader);
        for (std::uint64_t mine = 1;; mine += 2) {
            // acquire: pairs with the other side's release of its turn
            while (line->turn.load(std::memory_order_acquire) != mine) {
                if (stop->turn.load(std::memory_order_relaxed) != 0) {
                    return;
                }
            }
            // release: this turn follows the one it answers; pairs with the other side's acquire
            line->turn.store(mine + 1, std::memory_order_release);
        }
    });
    std::uint64_t turn = 0;
    for (auto _ : state) {
        // release: pairs with the echo's acquire; the echo answers this turn
        line->turn.store(turn + 1, std::memory_order_release);
        turn += 2;
        // acquire: pairs with the echo's release of its answer
        while (line->turn.load(std::memory_order_acquire) != turn) {
        }
    }
    stop->turn.store(1, std::memory_order_relaxed);
    echo.join();
    state.counters["per_transfer"] = benchmark::Counter(
        2, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// What the writer and the reader share, the ring and each flag on cache lines
// of their own, laid out the same in one process and across two.
template <typename Ring>
struct PairRecord {
    alignas(64) Ring ring;
    alignas(64) std::atomic<bool> stop{false};
    alignas(64) std::atomic<bool> polling{false};
    std::atomic<bool> done{false};
    ReaderTally tally{};
};

static_assert(std::atomic<bool>::is_always_lock_free, "flags shared between processes");

// The pair with the reader in a thread of this process, or the writer alone.
template <typename Ring>
void PairInOneProcess(benchmark::State& state, Clock::duration period, bool withReader) {
    const auto pair = std::make_unique<PairRecord<Ring>>();
    std::thread reader;
    if (withReader) {
        reader = std::thread([&pair] {
            PinThisThreadTo(g_placement.reader);
            // relaxed: only says the reader runs; nothing is published through it
            pair->polling.store(true, std::memory_order_relaxed);
            pair->tally = PollUntilStopped(pair->ring, pair->stop);
        });
        while (!pair->polling.load(std::memory_order_relaxed)) {
        }
    }
    const WriterTimes writer = WriteOnePerIteration(pair->ring, state, period);
    if (withReader) {
        // release: pairs with the reader's acquire load; its last read follows the last sample
        pair->stop.store(true, std::memory_order_release);
        reader.join();
    }
    ReportPair(state, writer, withReader ? &pair->tally : nullptr);
}

// The pair with the record in POSIX shared memory: the reader is a forked
// child process on the second processor.
template <typename Ring>
void PairAcrossProcesses(benchmark::State& state, Clock::duration period) {
    SharedMemory memory(sizeof(PairRecord<Ring>));
    if (memory.Address() == nullptr) {
        state.SkipWithError("no POSIX shared memory");
        return;
    }
    auto* pair = new (memory.Address()) PairRecord<Ring>();
    const pid_t child = fork();
    if (child < 0) {
        state.SkipWithError("fork failed");
        return;
    }
    if (child == 0) {
        PinThisThreadTo(g_placement.reader);
        // relaxed: only says the reader runs; nothing is published through it
        pair->polling.store(true, std::memory_order_relaxed);
        pair->tally = PollUntilStopped(pair->ring, pair->stop);
        // release: the tally precedes done; pairs with the parent's acquire load after waitpid
        pair->done.store(true, std::memory_order_release);
        _exit(0);
    }
    while (!pair->polling.load(std::memory_order_relaxed)) {
    }
    const WriterTimes writer = WriteOnePerIteration(pair->ring, state, period);
    // release: pairs with the reader's acquire load; its last read follows the last sample
    pair->stop.store(true, std::memory_order_release);
    int status = 0;
    waitpid(child, &status, 0);
    // acquire: pairs with the child's release of done; the tally is complete
    if (!pair->done.load(std::memory_order_acquire)) {
        state.SkipWithError("the reader process did not finish");
        return;
    }
    ReportPair(state, writer, &pair->tally);
}

template <typename Ring>
void RegisterUncontended(const std::string& name) {
    for (const s32 batch : {1, 8}) {
        benchmark::RegisterBenchmark(("write/" + std::to_string(batch) + "/" + name).c_str(),
                                     Write<Ring>, batch);
    }
    for (const s32 fresh : {7, 1, 0}) {
        benchmark::RegisterBenchmark(("read/" + std::to_string(fresh) + "/" + name).c_str(),
                                     Read<Ring>, fresh);
    }
}

struct Pace {
    const char* name;
    Clock::duration period;
    benchmark::IterationCount samples;  // 0: as many as the minimum time asks for
};

// Paced runs write a fixed number of samples: a quarter of a second at each rate.
constexpr Pace kPaces[] = {{"full", 0ns, 0}, {"1MHz", 1us, 250000}, {"1kHz", 1ms, 250}};

void Limit(benchmark::internal::Benchmark* benchmark, const Pace& pace) {
    benchmark->UseRealTime();
    if (pace.samples != 0) {
        benchmark->Iterations(pace.samples);
    }
}

template <typename Ring>
void RegisterPair(const std::string& name, bool alsoAlone) {
    for (const Pace& pace : kPaces) {
        const std::string rate = std::string(pace.name) + "/" + name;
        Limit(benchmark::RegisterBenchmark(("pair/" + rate).c_str(), PairInOneProcess<Ring>,
                                           pace.period, true),
              pace);
        if (alsoAlone) {
            Limit(benchmark::RegisterBenchmark(("alone/" + rate).c_str(), PairInOneProcess<Ring>,
                                               pace.period, false),
                  pace);
        }
    }
}

template <typename Ring>
void RegisterAcrossProcesses(const std::string& name) {
    for (const Pace& pace : kPaces) {
        Limit(benchmark::RegisterBenchmark(
                  ("processes/" + std::string(pace.name) + "/" + name).c_str(),
                  PairAcrossProcesses<Ring>, pace.period),
              pace);
    }
}

void RegisterAll() {
    RegisterUncontended<PadLifoRing>("ring");
    RegisterUncontended<FloorRing>("floor");
    RegisterUncontended<MutexRing>("mutex");
    RegisterUncontended<CkSequenceRing>("ck_sequence");
    for (const s32 fresh : {7, 0}) {
        const std::string read = "read/" + std::to_string(fresh);
        benchmark::RegisterBenchmark((read + "/counting_read").c_str(), Read<CountingReadRing>,
                                     fresh);
        benchmark::RegisterBenchmark((read + "/c_interface").c_str(), ReadThroughC, fresh);
    }
    benchmark::RegisterBenchmark("clock_read", ClockRead);
    benchmark::RegisterBenchmark("line_transfer", LineTransfer)->UseRealTime();

    RegisterPair<PadLifoRing>("ring", true);
    RegisterPair<CountingRing>("ring_counted", false);
    RegisterPair<FloorRing>("floor", true);
    RegisterPair<MutexRing>("mutex", true);
    RegisterPair<CkSequenceRing>("ck_sequence", true);

    RegisterAcrossProcesses<PadLifoRing>("ring");
    RegisterAcrossProcesses<CountingRing>("ring_counted");
}

}  // namespace
}  // namespace qor::bench

int main(int argc, char** argv) {
    using namespace qor::bench;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    g_placement = ChoosePlacement();
    const bool pinned = PinThisThreadTo(g_placement.writer);
    benchmark::AddCustomContext(
        "pinning", pinned ? "writer on processor " + std::to_string(g_placement.writer) +
                                ", reader on processor " + std::to_string(g_placement.reader)
                          : std::string("none"));
    qor::svc::SetSystemTickSource(CountingTick);
    benchmark::AddCustomContext("lap ticks", "a counter, the same source for every writer");
    RegisterAll();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
