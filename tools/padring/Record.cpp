// padring record: one more consumer that writes every sample it receives, with
// the time it received it, as text a replay can play.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "Commands.h"
#include "StopSignal.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;
using qor::hidlow::QVA::SharedPadRingConsumer;

constexpr qor::s32 kRoom = PAD_LIFORING_BUFFER_NUM - 1;
// Eight samples of a 1 kHz producer take 8 ms: read far more often than that.
constexpr auto kPollPeriod = std::chrono::milliseconds(1);
constexpr auto kLinkCheckPeriod = std::chrono::seconds(1);

}  // namespace

int RunRecord(const RecordOptions& options) {
    InstallStopHandlers();
    if (options.wait) {
        // Nothing to clean up yet: Ctrl-C may end the wait as it ends any program.
        std::fprintf(stderr, "waiting for a producer to make %s; Ctrl-C stops\n",
                     SharedPadRingConsumer::ObjectName(options.name).c_str());
    }
    const SharedPadRingConsumer ring =
        options.wait ? SharedPadRingConsumer::OpenWhenMade(
                           options.name, std::chrono::milliseconds::max(), options.owner)
                     : SharedPadRingConsumer::Open(options.name, options.owner);
    std::FILE* out = options.out.empty() ? stdout : std::fopen(options.out.c_str(), "w");
    if (out == nullptr) {
        std::fprintf(stderr, "padring: cannot write %s\n", options.out.c_str());
        return kFailure;
    }
    std::fprintf(out, "# padring samples 1\n");

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = options.seconds > 0
                                      ? start + std::chrono::duration_cast<Clock::duration>(
                                                    std::chrono::duration<double>(options.seconds))
                                      : Clock::time_point::max();
    Clock::time_point firstSample;
    Clock::time_point nextLinkCheck = start + kLinkCheckPeriod;
    qor::s64 tick = -1;
    qor::s32 index = -1;
    long long received = 0;
    long long missed = 0;
    bool missedExact = true;
    bool firstRead = true;
    bool removed = false;
    while (!StopRequested() && Clock::now() < end) {
        PadStatus samples[kRoom];
        qor::s32 count = 0;
        // The first read misses nothing: what came before it is not the recording's.
        const qor::hidlow::QVA::PadLifoRingMissed passedOver =
            ring.Ring().ReadDataCountingMissed(samples, kRoom, &count, &tick, &index);
        const Clock::time_point now = Clock::now();
        if (firstRead) {
            // What the ring held before: only its newest sample, the pad's
            // state as the recording starts.
            count = count > 0 ? 1 : 0;
            firstRead = false;
        }
        missed += passedOver.count;
        missedExact = missedExact && passedOver.exact;
        for (qor::s32 i = count - 1; i >= 0; --i) {
            if (received++ == 0) {
                firstSample = now;
            }
            const auto micros =
                std::chrono::duration_cast<std::chrono::microseconds>(now - firstSample).count();
            const PadStatus& sample = samples[i];
            std::fprintf(out, "%lld 0x%08" PRIx32 " 0x%08" PRIx32 " 0x%08" PRIx32 " %d %d\n",
                         static_cast<long long>(micros), sample.hold, sample.trigger,
                         sample.release, sample.stick.x, sample.stick.y);
        }
        if (count > 0 && std::fflush(out) != 0) {
            break;  // nobody reads the output any more
        }
        if (now >= nextLinkCheck) {
            if (!ring.StillLinked()) {
                removed = true;
                break;
            }
            nextLinkCheck = now + kLinkCheckPeriod;
        }
        SleepUntil(now + kPollPeriod);
    }
    const bool written = out == stdout || std::fclose(out) == 0;
    std::fprintf(stderr, "recorded %lld samples from %s, missed %s%lld%s\n", received,
                 ring.Name().c_str(), missedExact ? "" : "at least ", missed,
                 removed ? "; the ring was removed" : "");
    return written ? kSuccess : kFailure;
}

}  // namespace padring
