#include "ServiceLoop.h"

#include <time.h>

#include <algorithm>

#include "PadService.h"
#include "Replay.h"

namespace padservice {

Clock::time_point NextPoll(Clock::time_point now, Clock::time_point lastChange,
                           bool anyController) {
    if (!anyController) {
        return now + kAlonePeriod;
    }
    return now + (now - lastChange < kQuietAfter ? Clock::duration(kBusyPeriod)
                                                 : Clock::duration(kQuietPeriod));
}

void SleepUntil(Clock::time_point deadline) {
    // steady_clock is CLOCK_MONOTONIC: an absolute deadline on it keeps the
    // period from drifting by the time each poll takes.
    const auto since =
        std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch());
    timespec at;
    at.tv_sec = static_cast<time_t>(since.count() / 1000000000);
    at.tv_nsec = static_cast<long>(since.count() % 1000000000);
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
}

void RunService(PadService& service, const std::vector<std::unique_ptr<Replay>>& replays,
                const std::function<bool()>& keepGoing) {
    Clock::time_point lastChange = Clock::now();
    while (keepGoing()) {
        const Clock::time_point now = Clock::now();
        for (const std::unique_ptr<Replay>& replay : replays) {
            while (replay->NextDue() <= now) {
                replay->PlayNext();
                if (service.Poll()) {
                    lastChange = now;
                }
            }
        }
        if (service.Poll()) {
            lastChange = now;
        }
        Clock::time_point wake = NextPoll(now, lastChange, service.AnyController());
        for (const std::unique_ptr<Replay>& replay : replays) {
            wake = std::min(wake, replay->NextDue());
        }
        SleepUntil(wake);
    }
}

}  // namespace padservice
