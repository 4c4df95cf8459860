// One writer and several readers for a few seconds, at full speed and at a
// pad's pace, as threads of one process and as processes that share the record
// in POSIX shared memory: every read must be whole, consecutive, newest first,
// and newer than everything that reader received before.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "ReadChecks.h"
#include "RingTestSupport.h"

namespace {

using qor::s32;
using qor::s64;
using namespace qor::test;
using std::chrono::milliseconds;

constexpr int kReaders = 3;

// What one participant did, and the first thing that went wrong for it.
struct Log {
    std::atomic<long> samples{0};  // received, or written by the writer
    long reads = 0;
    char fault[200] = {};

    void Fault(const std::string& text) {
        if (fault[0] == '\0') {
            std::snprintf(fault, sizeof fault, "%s", text.c_str());
        }
    }
};

// Where the writer and readers meet: in one process's memory, or in memory
// shared by several processes, hence plain data and lock-free atomics only.
struct Stage {
    explicit Stage(bool isPaced) : paced(isPaced) { MakeEmpty(ring); }

    PadLifoRing ring;
    const bool paced;  // a 1 kHz writer and readers polling every few milliseconds
    // Read and written relaxed, as are the counts: it only ends the loops and
    // publishes nothing; the ring's samples are what the test checks.
    std::atomic<bool> stop{false};
    Log writer;
    Log readers[kReaders];
};
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<long>::is_always_lock_free,
              "atomics shared between processes must not hide a lock");

void Write(Stage& stage) {
    std::uint32_t sequence = 0;
    PadStatus batch[9];
    for (int size = 1; !stage.stop.load(std::memory_order_relaxed); size = size % 9 + 1) {
        const int count = stage.paced ? 1 : size;
        for (int i = 0; i < count; ++i) {
            batch[i] = MakeSample(sequence++);
        }
        stage.ring.WriteData(batch, count);
        stage.writer.samples.fetch_add(count, std::memory_order_relaxed);
        if (stage.paced) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        // Pause now and then so readers also finish reads while laps go by.
        for (volatile int spin = 0; spin < (size == 9 ? 2000 : 50); ++spin) {
        }
    }
}

void Read(Stage& stage, int reader) {
    Log& log = stage.readers[reader];
    s64 tick = -1;
    s32 index = -1;
    std::int64_t lastSeen = -1;
    PadStatus buffers[8];
    for (s32 bufferNum = 1; !stage.stop.load(std::memory_order_relaxed);
         bufferNum = bufferNum % 8 + 1) {
        s32 count = -1;
        stage.ring.ReadData(buffers, bufferNum, &count, &tick, &index);
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
        if (stage.paced) {
            std::this_thread::sleep_for(milliseconds(reader + 1));
        }
    }
}

// Two seconds at least, and until every reader has had its share (a loaded
// machine starves some for a while); a minute at most.
void RunThenStop(Stage& stage, long share) {
    const auto start = std::chrono::steady_clock::now();
    auto everyReaderServed = [&] {
        for (const Log& log : stage.readers) {
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
    stage.stop = true;
}

void ExpectHealthy(const Stage& stage, long share) {
    EXPECT_STREQ("", stage.writer.fault);
    std::printf("written %ld; received", stage.writer.samples.load());
    for (const Log& log : stage.readers) {
        EXPECT_STREQ("", log.fault);
        EXPECT_GE(log.samples, share) << "reads: " << log.reads;
        std::printf(" %ld in %ld reads,", log.samples.load(), log.reads);
    }
    std::printf("\n");
}

// A named POSIX shared-memory object, mapped here; the name goes when this
// does, whatever became of the processes that used it.
class SharedMemory {
public:
    SharedMemory(std::string name, std::size_t size) : m_name(std::move(name)), m_size(size) {
        const int fd = shm_open(m_name.c_str(), O_CREAT | O_EXCL | O_RDWR, 0600);
        if (fd < 0) {
            return;
        }
        if (ftruncate(fd, static_cast<off_t>(size)) == 0) {
            void* address = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            m_address = address == MAP_FAILED ? nullptr : address;
        }
        close(fd);
    }
    ~SharedMemory() {
        if (m_address != nullptr) {
            munmap(m_address, m_size);
        }
        shm_unlink(m_name.c_str());
    }
    SharedMemory(const SharedMemory&) = delete;
    SharedMemory& operator=(const SharedMemory&) = delete;

    void* Address() const { return m_address; }

private:
    std::string m_name;
    std::size_t m_size;
    void* m_address = nullptr;
};

class PadLifoRingConcurrency : public ::testing::TestWithParam<bool> {
protected:
    long Share() const { return GetParam() ? 300 : 1000; }
};

TEST_P(PadLifoRingConcurrency, ThreadsOfOneProcessReadConsistently) {
    RecordingBreakHandler breaks;
    const auto stage = std::make_unique<Stage>(GetParam());
    std::thread writer(Write, std::ref(*stage));
    std::vector<std::thread> readers;
    for (int i = 0; i < kReaders; ++i) {
        readers.emplace_back(Read, std::ref(*stage), i);
    }
    RunThenStop(*stage, Share());
    writer.join();
    for (std::thread& reader : readers) {
        reader.join();
    }
    EXPECT_TRUE(breaks.Take().empty());
    ExpectHealthy(*stage, Share());
}

TEST_P(PadLifoRingConcurrency, ProcessesSharingTheRecordReadConsistently) {
    const std::string name = "/qor-ring-test-" + std::to_string(getpid());
    {
        SharedMemory memory(name, sizeof(Stage));
        ASSERT_NE(nullptr, memory.Address()) << "shared memory " << name;
        Stage& stage = *new (memory.Address()) Stage(GetParam());

        std::vector<pid_t> children;
        for (int role = -1; role < kReaders; ++role) {  // -1: the writer
            const pid_t pid = fork();
            if (pid == 0) {
                alarm(180);  // a child that hangs dies, and its parent sees it fail
                RecordingBreakHandler breaks;
                role < 0 ? Write(stage) : Read(stage, role);
                for (const BreakReport& report : breaks.Take()) {
                    (role < 0 ? stage.writer : stage.readers[role])
                        .Fault("report: " + report.message);
                }
                _exit(0);
            }
            EXPECT_LT(0, pid) << "fork";
            if (pid < 0) {
                break;
            }
            children.push_back(pid);
        }
        RunThenStop(stage, Share());
        for (const pid_t child : children) {
            int status = 0;
            EXPECT_EQ(child, waitpid(child, &status, 0));
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
                << "child " << child << " ended with status " << status;
        }
        ExpectHealthy(stage, Share());
    }
    EXPECT_EQ(-1, shm_open(name.c_str(), O_RDONLY, 0)) << "the shared-memory name is left behind";
}

INSTANTIATE_TEST_SUITE_P(, PadLifoRingConcurrency, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Paced" : "FullSpeed";
                         });

}  // namespace
