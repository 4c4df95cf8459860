// One writer thread and several reader threads at full speed for a few
// seconds: every read must be whole, consecutive, newest first, and newer than
// everything that reader received before.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ReadChecks.h"
#include "RingTestSupport.h"

namespace {

using qor::s32;
using qor::s64;
using namespace qor::test;

struct ReaderLog {
    long reads = 0;
    std::atomic<long> samples{0};
    std::string firstViolation;
};

void Consume(const PadLifoRing& ring, const std::atomic<bool>& stop, ReaderLog& log) {
    s64 tick = -1;
    s32 index = -1;
    std::int64_t lastSeen = -1;
    PadStatus buffers[8];
    for (s32 bufferNum = 1; !stop.load(std::memory_order_relaxed); bufferNum = bufferNum % 8 + 1) {
        s32 count = -1;
        ring.ReadData(buffers, bufferNum, &count, &tick, &index);
        ++log.reads;
        std::string violation = ReadViolation(buffers, count, lastSeen, index);
        if (count < 0 || count > 7 || count > bufferNum) {
            violation = "delivered " + std::to_string(count) + " into room for " +
                        std::to_string(bufferNum);
        }
        if (!violation.empty() && log.firstViolation.empty()) {
            log.firstViolation = violation;
        }
        if (count > 0) {
            log.samples.fetch_add(count, std::memory_order_relaxed);
            lastSeen = SequenceOf(buffers[0]);
        }
    }
}

TEST(PadLifoRingConcurrency, ReadersGetWholeConsecutiveNewestFirstSamples) {
    PadLifoRing ring;
    MakeEmpty(ring);
    RecordingBreakHandler breaks;
    std::atomic<bool> stop{false};

    std::vector<ReaderLog> logs(3);
    std::vector<std::thread> readers;
    for (ReaderLog& log : logs) {
        readers.emplace_back(Consume, std::cref(ring), std::cref(stop), std::ref(log));
    }
    std::uint32_t sequence = 0;
    std::thread writer([&] {
        PadStatus batch[9];
        for (int size = 1; !stop.load(std::memory_order_relaxed); size = size % 9 + 1) {
            for (int i = 0; i < size; ++i) {
                batch[i] = MakeSample(sequence++);
            }
            ring.WriteData(batch, size);
            // Pause now and then so readers also finish reads while laps go by.
            for (volatile int spin = 0; spin < (size == 9 ? 2000 : 50); ++spin) {
            }
        }
    });

    // Two seconds at least, and until every reader has had its share of laps
    // (a loaded machine starves threads for a while); a minute at most.
    const auto start = std::chrono::steady_clock::now();
    auto everyReaderServed = [&logs] {
        for (const ReaderLog& log : logs) {
            if (log.samples.load(std::memory_order_relaxed) < 1000) {
                return false;
            }
        }
        return true;
    };
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2) ||
           (!everyReaderServed() &&
            std::chrono::steady_clock::now() - start < std::chrono::minutes(1))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop = true;
    writer.join();
    for (std::thread& reader : readers) {
        reader.join();
    }

    EXPECT_TRUE(breaks.Take().empty());
    for (const ReaderLog& log : logs) {
        EXPECT_EQ("", log.firstViolation);
        EXPECT_GE(log.samples, 1000) << "reads: " << log.reads << ", written: " << sequence;
    }
}

}  // namespace
