// One writer thread flat out and several reader threads on one ring, on real
// processors, until every reader has had its share: every read must pass
// padring's check (whole, consecutive, newest first, new to that reader, its
// missed count right). Between processes, the command-line demo runs the same
// check with real producer and consumer processes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ReadCheck.h"
#include "RingTestSupport.h"

namespace {

using qor::s32;
using qor::s64;
using namespace qor::test;

constexpr int kReaders = 3;
constexpr long kShare = 1000;  // samples each reader must receive at least

// What one reader received, and the first thing that went wrong for it.
struct Log {
    std::atomic<long> samples{0};
    long reads = 0;
    std::string fault;
};

void Write(PadLifoRing& ring, const std::atomic<bool>& stop) {
    SequenceWriter writer(ring);
    // relaxed: the flag only ends the loop; the ring's samples are what is checked.
    for (int size = 1; !stop.load(std::memory_order_relaxed); size = size % 9 + 1) {
        writer.Write(size);
        // Pause now and then so readers also finish reads while laps go by.
        for (volatile int spin = 0; spin < (size == 9 ? 2000 : 50); ++spin) {
        }
    }
}

void Read(const PadLifoRing& ring, const std::atomic<bool>& stop, Log& log) {
    s64 tick = -1;
    s32 index = -1;
    padring::ReadCheck check;
    PadStatus buffers[8];
    // relaxed: the flag only ends the loop, as for the writer.
    for (s32 bufferNum = 1; !stop.load(std::memory_order_relaxed); bufferNum = bufferNum % 8 + 1) {
        s32 count = -1;
        const qor::hidlow::QVA::PadLifoRingMissed missed =
            ring.ReadDataCountingMissed(buffers, bufferNum, &count, &tick, &index);
        const std::string fault = check.Take(buffers, count, bufferNum, missed);
        if (!fault.empty() && log.fault.empty()) {
            log.fault = fault;
        }
        ++log.reads;
        // relaxed: a progress count the main thread reads only to decide when to stop
        log.samples.store(check.Received(), std::memory_order_relaxed);
    }
}

TEST(PadLifoRingConcurrency, ThreadsOfOneProcessReadConsistently) {
    RecordingBreakHandler breaks;
    PadLifoRing ring;
    std::atomic<bool> stop{false};
    Log readers[kReaders];
    std::thread writing(Write, std::ref(ring), std::cref(stop));
    std::vector<std::thread> reading;
    for (Log& log : readers) {
        reading.emplace_back(Read, std::cref(ring), std::cref(stop), std::ref(log));
    }
    // Two seconds at least, and until every reader has had its share (a
    // loaded machine starves some for a while); a minute at most.
    auto everyReaderServed = [&] {
        for (const Log& log : readers) {
            // relaxed: pairs with nothing; the join below orders the final counts
            if (log.samples.load(std::memory_order_relaxed) < kShare) {
                return false;
            }
        }
        return true;
    };
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2) ||
           (!everyReaderServed() &&
            std::chrono::steady_clock::now() - start < std::chrono::minutes(1))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop = true;
    writing.join();
    for (std::thread& thread : reading) {
        thread.join();
    }

    EXPECT_TRUE(breaks.Take().empty());
    std::printf("received");
    for (const Log& log : readers) {
        EXPECT_EQ("", log.fault);
        EXPECT_GE(log.samples, kShare) << "reads: " << log.reads;
        std::printf(" %ld in %ld reads,", log.samples.load(), log.reads);
    }
    std::printf("\n");
}

}  // namespace
