// padring watch: one more consumer on a live ring, printing every sample it
// receives, oldest of each read first so the newest ends up at the bottom.
#include <chrono>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "PadPattern.h"
#include "ReadCheck.h"
#include "SharedRing.h"
#include "StopSignal.h"
#include "qor/dbg/dbg_Enum.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;

constexpr qor::s32 kRoom = PAD_LIFORING_BUFFER_NUM - 1;
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
constexpr auto kLinkCheckPeriod = std::chrono::seconds(1);

int g_failedRingChecks = 0;

// A failed check inside the ring is shown like any other problem, and the
// read returns with nothing, as under a debugger that continues.
void PrintFailedRingCheck(qordbgBreakReason, const char* fileName, int line, const char* message) {
    std::printf("problem: ring check failed at %s:%d: %s\n", fileName, line, message);
    ++g_failedRingChecks;
}

// The cursor before and after one read, and what the consumer had before it.
struct ReadContext {
    qor::s64 tickBefore;
    qor::s64 tick;
    qor::s32 index;
    Sequence newestBefore;
};

void PrintRead(const PadStatus* samples, qor::s32 count, const ReadContext& read) {
    const Sequence oldest = SequenceOf(samples[count - 1]);
    const bool gap = read.newestBefore >= 0 && oldest > read.newestBefore + 1;
    if (gap) {
        std::printf("%10s (%lld samples skipped)\n", "...",
                    static_cast<long long>(oldest - read.newestBefore - 1));
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

}  // namespace

int RunWatch(const std::string& name) {
    InstallStopHandlers();
    const SharedRing ring = SharedRing::Open(name, SharedRing::Access::ReadOnly);
    qor::dbg::SetBreakHandler(&PrintFailedRingCheck);
    std::printf("watching %s read-only as one more consumer, newest last; Ctrl-C stops\n",
                ring.Name().c_str());
    std::printf("%10s %4s %20s %6s %7s %8s %7s %7s\n", "sample", "slot", "lap tick", "hold",
                "pressed", "released", "stick x", "stick y");

    ReadCheck check;
    int problems = 0;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    Clock::time_point nextLinkCheck = Clock::now() + kLinkCheckPeriod;
    while (!StopRequested()) {
        const qor::s64 tickBefore = tick;
        const Sequence newestBefore = check.Newest();
        PadStatus samples[kRoom];
        qor::s32 count = -1;
        ring.Ring().ReadData(samples, kRoom, &count, &tick, &index);
        const std::string problem = check.Take(samples, count, kRoom);
        if (count > 0 && count <= kRoom) {
            PrintRead(samples, count, ReadContext{tickBefore, tick, index, newestBefore});
        }
        if (!problem.empty()) {
            std::printf("problem: %s\n", problem.c_str());
            ++problems;
        }
        if (std::fflush(stdout) != 0) {
            break;  // nobody reads the output any more
        }
        const Clock::time_point now = Clock::now();
        if (now >= nextLinkCheck) {
            if (!ring.StillLinked()) {
                std::printf("%s was removed, its producer has stopped\n", ring.Name().c_str());
                break;
            }
            nextLinkCheck = now + kLinkCheckPeriod;
        }
        SleepUntil(now + kPollPeriod);
    }
    problems += g_failedRingChecks;
    std::printf("stopped: %lld samples received, %lld skipped, %d problems\n",
                static_cast<long long>(check.Received()), static_cast<long long>(check.Skipped()),
                problems);
    return problems == 0 ? kSuccess : kFailure;
}

}  // namespace padring
