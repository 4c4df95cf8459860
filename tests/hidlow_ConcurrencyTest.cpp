// One writer and several readers for a few seconds: as threads of one
// process, at full speed and at a pad's pace, and as a producer process and
// read-only consumer processes on a ring in named shared memory, the producer
// killed at random moments and taken over each time. Every read must be
// whole, consecutive, newest first, and newer than everything that reader
// received before.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ReadChecks.h"
#include "RingTestSupport.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace {

using qor::s32;
using qor::s64;
using qor::hidlow::QVA::SharedPadRingConsumer;
using qor::hidlow::QVA::SharedPadRingError;
using qor::hidlow::QVA::SharedPadRingMapping;
using qor::hidlow::QVA::SharedPadRingProducer;
using namespace qor::test;
using std::chrono::milliseconds;

constexpr int kReaders = 3;

// What one participant did, and the first thing that went wrong for it.
struct Log {
    std::atomic<long> samples{0};  // received, or written by the writers
    long reads = 0;
    char fault[200] = {};

    void Fault(const std::string& text) {
        if (fault[0] == '\0') {
            std::snprintf(fault, sizeof fault, "%s", text.c_str());
        }
    }
};

// What the participants share besides the ring: in one process's memory, or
// in memory shared by several processes, hence plain data and lock-free
// atomics only. Read and written relaxed: the flags only end loops and count;
// the ring's samples are what the test checks.
struct Board {
    explicit Board(bool isPaced, bool isLongBatches = false)
        : paced(isPaced), longBatches(isLongBatches) {}

    const bool paced;        // a 1 kHz writer and readers polling every few milliseconds
    const bool longBatches;  // the writer spends most of its time inside WriteData
    std::atomic<bool> stop{false};
    std::atomic<bool> inWriteData{false};  // where a killed writer died
    Log writer;
    Log readers[kReaders];
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "atomics shared between processes must not hide a lock");

void Write(PadLifoRing& ring, Board& board, std::uint32_t sequence) {
    constexpr int kLongBatch = 32;
    PadStatus batch[kLongBatch];
    for (int size = 1; !board.stop.load(std::memory_order_relaxed); size = size % 9 + 1) {
        const int count = board.paced ? 1 : board.longBatches ? kLongBatch : size;
        for (int i = 0; i < count; ++i) {
            batch[i] = MakeSample(sequence++);
        }
        board.inWriteData.store(true, std::memory_order_relaxed);
        ring.WriteData(batch, count);
        board.inWriteData.store(false, std::memory_order_relaxed);
        board.writer.samples.fetch_add(count, std::memory_order_relaxed);
        if (board.paced) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        // Pause now and then so readers also finish reads while laps go by.
        const int pause = board.longBatches ? 300 : size == 9 ? 2000 : 50;
        for (volatile int spin = 0; spin < pause; ++spin) {
        }
    }
}

// Each read also asks whether a producer is alive, when there is a mapping to
// ask: the question must never stand in a producer's way.
void Read(const PadLifoRing& ring, Board& board, int reader,
          const SharedPadRingMapping* mapping = nullptr) {
    Log& log = board.readers[reader];
    s64 tick = -1;
    s32 index = -1;
    std::int64_t lastSeen = -1;
    PadStatus buffers[8];
    for (s32 bufferNum = 1; !board.stop.load(std::memory_order_relaxed);
         bufferNum = bufferNum % 8 + 1) {
        s32 count = -1;
        ring.ReadData(buffers, bufferNum, &count, &tick, &index);
        ++log.reads;
        if (count < 0 || count > 7 || count > bufferNum) {
            log.Fault("delivered " + std::to_string(count) + " into room for " +
                      std::to_string(bufferNum));
        }
        log.Fault(ReadViolation(buffers, count, lastSeen, index));
        if (count > 0) {
            log.samples.fetch_add(count, std::memory_order_relaxed);
            lastSeen = SequenceOf(buffers[0]);
        }
        if (mapping != nullptr) {
            mapping->ProducerAlive();
        }
        if (board.paced) {
            std::this_thread::sleep_for(milliseconds(reader + 1));
        }
    }
}

// Two seconds at least, and until every reader has had its share (a loaded
// machine starves some for a while); a minute at most.
void RunThenStop(Board& board, long share) {
    const auto start = std::chrono::steady_clock::now();
    auto everyReaderServed = [&] {
        for (const Log& log : board.readers) {
            if (log.samples.load(std::memory_order_relaxed) < share) {
                return false;
            }
        }
        return true;
    };
    while (std::chrono::steady_clock::now() - start < std::chrono::seconds(2) ||
           (!everyReaderServed() &&
            std::chrono::steady_clock::now() - start < std::chrono::minutes(1))) {
        std::this_thread::sleep_for(milliseconds(50));
    }
    board.stop = true;
}

void ExpectHealthy(const Board& board, long share) {
    EXPECT_STREQ("", board.writer.fault);
    std::printf("written %ld; received", board.writer.samples.load());
    for (const Log& log : board.readers) {
        EXPECT_STREQ("", log.fault);
        EXPECT_GE(log.samples, share) << "reads: " << log.reads;
        std::printf(" %ld in %ld reads,", log.samples.load(), log.reads);
    }
    std::printf("\n");
}

// The sample after the newest one in the ring, where a producer that takes
// over goes on; 0 for an empty ring.
std::uint32_t SequenceAfterNewest(const PadLifoRing& ring) {
    qor::hidlow::QVA::PadLifoRingSnapshot snapshot;
    ring.TakeSnapshot(&snapshot, 1000);
    const s32 newest = snapshot.NewestSlot();
    return newest < 0 ? 0 : static_cast<std::uint32_t>(SequenceOf(snapshot.buffers[newest]) + 1);
}

// Runs body in a child process that reports its failures to log and ends
// without running the parent's destructors. A child that hangs dies, and its
// parent sees it fail.
template <typename Body>
pid_t StartChild(Log& log, Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        alarm(180);
        RecordingBreakHandler breaks;
        try {
            body();
        } catch (const std::exception& error) {
            log.Fault(error.what());
        }
        for (const BreakReport& report : breaks.Take()) {
            log.Fault("report: " + report.message);
        }
        _exit(0);
    }
    return pid;
}

pid_t StartProducer(const std::string& name, Board& board) {
    return StartChild(board.writer, [&] {
        SharedPadRingProducer producer = SharedPadRingProducer::CreateOrTakeOver(name);
        Write(producer.Ring(), board, SequenceAfterNewest(producer.Ring()));
    });
}

std::vector<pid_t> StartConsumers(const std::string& name, Board& board) {
    std::vector<pid_t> pids;
    for (int reader = 0; reader < kReaders; ++reader) {
        pids.push_back(StartChild(board.readers[reader], [&, reader] {
            const SharedPadRingConsumer consumer =
                SharedPadRingConsumer::OpenWhenMade(name, std::chrono::seconds(10));
            Read(consumer.Ring(), board, reader, &consumer);
        }));
    }
    return pids;
}

void ExpectCleanExit(pid_t child) {
    int status = 0;
    EXPECT_EQ(child, waitpid(child, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child " << child << " ended with status " << status;
}

// Removes the ring however the test ends, and checks that it is gone.
class RingName {
public:
    RingName() : m_name("/qor-ring-test-" + std::to_string(getpid())) {}
    ~RingName() {
        try {
            SharedPadRingMapping::Remove(m_name);
        } catch (const SharedPadRingError& error) {
            ADD_FAILURE() << error.what();
        }
        EXPECT_THROW(SharedPadRingConsumer::Open(m_name), SharedPadRingError);
    }
    RingName(const RingName&) = delete;
    RingName& operator=(const RingName&) = delete;

    const std::string& Get() const { return m_name; }

private:
    std::string m_name;
};

class PadLifoRingConcurrency : public ::testing::TestWithParam<bool> {
protected:
    long Share() const { return GetParam() ? 300 : 1000; }
};

TEST_P(PadLifoRingConcurrency, ThreadsOfOneProcessReadConsistently) {
    RecordingBreakHandler breaks;
    PadLifoRing ring;
    MakeEmpty(ring);
    const auto board = std::make_unique<Board>(GetParam());
    std::thread writer(Write, std::ref(ring), std::ref(*board), 0u);
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back([&, i] { Read(ring, *board, i); });
    }
    RunThenStop(*board, Share());
    writer.join();
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_TRUE(breaks.Take().empty());
    ExpectHealthy(*board, Share());
}

INSTANTIATE_TEST_SUITE_P(, PadLifoRingConcurrency, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Paced" : "FullSpeed";
                         });

// The producer, writing flat out, is killed with SIGKILL at random moments; a
// new one takes over each time while the consumers read on and keep asking
// whether a producer is alive. Every takeover must succeed at once.
TEST(PadLifoRingTakeover, ConsumersReadOnAcrossKilledAndReplacedProducers) {
    constexpr int kKills = 200;
    const RingName name;
    // Shared with the forked children; the mapping goes with this process.
    void* memory =
        mmap(nullptr, sizeof(Board), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(MAP_FAILED, memory);
    Board& board = *new (memory) Board(false, true);
    pid_t producer = StartProducer(name.Get(), board);
    std::vector<pid_t> consumers = StartConsumers(name.Get(), board);

    std::mt19937 random(20261206);
    int insideWriteData = 0;
    for (int kill = 0; kill < kKills && board.writer.fault[0] == '\0'; ++kill) {
        // From its first write on: under an emulator a new process spends
        // milliseconds translating code before it gets there.
        const long before = board.writer.samples.load(std::memory_order_relaxed);
        for (int wait = 0;
             wait < 10000 && board.writer.samples.load(std::memory_order_relaxed) == before;
             ++wait) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        ::kill(producer, SIGKILL);
        int status = 0;
        ASSERT_EQ(producer, waitpid(producer, &status, 0));
        insideWriteData += board.inWriteData.load(std::memory_order_relaxed);
        producer = StartProducer(name.Get(), board);
    }
    RunThenStop(board, 1000);
    ExpectCleanExit(producer);
    for (const pid_t consumer : consumers) {
        ExpectCleanExit(consumer);
    }
    std::printf("%d producers killed, %d of them inside WriteData; ", kKills, insideWriteData);
    ExpectHealthy(board, 1000);
    EXPECT_GT(insideWriteData, kKills / 4) << "too few kills land where a writer can break things";
}

}  // namespace
