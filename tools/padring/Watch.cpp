// padring watch: one more consumer on a live ring, printing every sample it
// receives, oldest of each read first so the newest ends up at the bottom, and
// saying when its ring loses its producer and when another takes over.
#include <chrono>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "PadPattern.h"
#include "ProblemLog.h"
#include "ReadCheck.h"
#include "StopSignal.h"
#include "qor/dbg/dbg_Enum.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;
using qor::hidlow::QVA::SharedPadRingConsumer;

constexpr qor::s32 kRoom = PAD_LIFORING_BUFFER_NUM - 1;
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
constexpr auto kProducerCheckPeriod = std::chrono::milliseconds(100);
constexpr auto kLinkCheckPeriod = std::chrono::seconds(1);

ProblemLog* g_problems = nullptr;

// A failed check inside the ring is a problem like any other, and the read
// returns with nothing, as under a debugger that continues.
void RecordFailedRingCheck(qordbgBreakReason, const char* fileName, int line, const char* message) {
    g_problems->Record("ring check failed at " + std::string(fileName) + ":" +
                       std::to_string(line) + ": " + message);
}

// Who produces into the ring, as the producer lock and the header tell.
struct Producer {
    bool alive;
    qor::s32 pid;
    qor::s32 count;
};

// count first: the pid read after it is that producer's or a later one's.
Producer ProducerOf(const SharedPadRingConsumer& ring, qor::s32 count) {
    return Producer{ring.ProducerAlive(), ring.ProducerPid(), count};
}

void ShowProducer(const std::string& name, const Producer* before, const Producer& now) {
    const bool tookOver = before != nullptr && now.count != before->count;
    if (now.alive && (before == nullptr || tookOver)) {
        std::printf("%s: producer pid %d%s\n", name.c_str(), now.pid, tookOver ? " took over" : "");
    } else if (!now.alive && (before == nullptr || before->alive || tookOver)) {
        const std::string gone =
            now.pid > 0 ? "pid " + std::to_string(now.pid) + " is gone" : "its last one stopped";
        std::printf("%s has no producer (%s); reading on until one takes over\n", name.c_str(),
                    gone.c_str());
    }
}

// The cursor before and after one read, and what the read passed over.
struct ReadContext {
    qor::s64 tickBefore;
    qor::s64 tick;
    qor::s32 index;
    qor::hidlow::QVA::PadLifoRingMissed missed;
};

void PrintRead(const PadStatus* samples, qor::s32 count, const ReadContext& read) {
    const bool gap = read.missed.count > 0 || !read.missed.exact;
    if (gap) {
        std::printf("%10s (%s%d samples skipped)\n", "...", read.missed.exact ? "" : "at least ",
                    read.missed.count);
    }
    for (qor::s32 i = count - 1; i >= 0; --i) {
        const qor::s32 fromNewest = read.index - i;
        const qor::s32 slot = (fromNewest + PAD_LIFORING_BUFFER_NUM) % PAD_LIFORING_BUFFER_NUM;
        // Samples behind slot 0 belong to the lap before the cursor's. The
        // consumer knows its tick when the previous read ended in that lap
        // and nothing was skipped in between.
        std::string lap = "earlier lap";
        if (fromNewest >= 0) {
            lap = std::to_string(read.tick);
        } else if (!gap && read.tickBefore >= 0 && read.tickBefore != read.tick) {
            lap = std::to_string(read.tickBefore);
        }
        const PadStatus& sample = samples[i];
        const Sequence sequence = SequenceOf(sample);
        const std::string number = sequence >= 0 ? std::to_string(sequence) : "?";
        std::printf("%10s %4d %20s 0x%04x  0x%04x   0x%04x  %7d %7d\n", number.c_str(), slot,
                    lap.c_str(), Buttons(sample.hold), Buttons(sample.trigger),
                    Buttons(sample.release), sample.stick.x, sample.stick.y);
    }
}

SharedPadRingConsumer OpenToWatch(const WatchOptions& options) {
    using Cause = qor::hidlow::QVA::SharedPadRingError::Cause;
    if (options.wait) {
        std::printf("waiting for a producer to make %s; Ctrl-C stops\n",
                    SharedPadRingConsumer::ObjectName(options.name).c_str());
        std::fflush(stdout);
        // Nothing to clean up yet: Ctrl-C may end the wait as it ends any program.
        return SharedPadRingConsumer::OpenWhenMade(options.name, std::chrono::milliseconds::max(),
                                                   options.owner);
    }
    try {
        return SharedPadRingConsumer::Open(options.name, options.owner);
    } catch (const qor::hidlow::QVA::SharedPadRingError& error) {
        if (error.GetCause() != Cause::kNotFound && error.GetCause() != Cause::kNotReady) {
            throw;
        }
        throw qor::hidlow::QVA::SharedPadRingError(
            error.GetCause(), std::string(error.what()) + " (--wait waits for a producer)");
    }
}

}  // namespace

int RunWatch(const WatchOptions& options) {
    const SharedPadRingConsumer ring = OpenToWatch(options);
    InstallStopHandlers();
    ProblemLog problems(stdout);
    g_problems = &problems;
    qor::dbg::SetBreakHandler(&RecordFailedRingCheck);
    std::printf("watching %s read-only as one more consumer, newest last; Ctrl-C stops\n",
                ring.Name().c_str());
    Producer producer = ProducerOf(ring, ring.ProducerCount());
    ShowProducer(ring.Name(), nullptr, producer);
    std::printf("%10s %4s %20s %6s %7s %8s %7s %7s\n", "sample", "slot", "lap tick", "hold",
                "pressed", "released", "stick x", "stick y");

    ReadCheck check;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    bool openable = true;
    Clock::time_point nextProducerCheck = Clock::now() + kProducerCheckPeriod;
    Clock::time_point nextLinkCheck = Clock::now() + kLinkCheckPeriod;
    while (!StopRequested()) {
        const qor::s64 tickBefore = tick;
        PadStatus samples[kRoom];
        qor::s32 count = -1;
        const qor::hidlow::QVA::PadLifoRingMissed missed =
            ring.Ring().ReadDataCountingMissed(samples, kRoom, &count, &tick, &index);
        const std::string problem = check.Take(samples, count, kRoom, missed);
        // Counted after the read: a new producer is announced before its first sample.
        const qor::s32 producerCount = ring.ProducerCount();
        const Clock::time_point now = Clock::now();
        if (producerCount != producer.count || now >= nextProducerCheck) {
            const Producer before = producer;
            producer = ProducerOf(ring, producerCount);
            ShowProducer(ring.Name(), &before, producer);
            nextProducerCheck = now + kProducerCheckPeriod;
        }
        if (count > 0 && count <= kRoom) {
            PrintRead(samples, count, ReadContext{tickBefore, tick, index, missed});
        }
        if (!problem.empty()) {
            problems.Record(problem);
        }
        problems.ShowRecurring();
        if (now >= nextLinkCheck) {
            if (!ring.StillLinked()) {
                std::printf("%s was removed, its producer has stopped\n", ring.Name().c_str());
                break;
            }
            if (openable && !ring.StillOpenable()) {
                std::printf(
                    "%s: its mode no longer lets this user open it (a new producer narrowed "
                    "it); reading on\n",
                    ring.Name().c_str());
            }
            openable = ring.StillOpenable();
            nextLinkCheck = now + kLinkCheckPeriod;
        }
        if (std::fflush(stdout) != 0) {
            break;  // nobody reads the output any more, or it cannot be written
        }
        SleepUntil(now + kPollPeriod);
    }
    std::printf("stopped: %lld samples received, %s%lld skipped, %lld problems\n",
                static_cast<long long>(check.Received()), check.SkippedExact() ? "" : "at least ",
                static_cast<long long>(check.Skipped()), static_cast<long long>(problems.Total()));
    return problems.Total() == 0 ? kSuccess : kFailure;
}

}  // namespace padring
