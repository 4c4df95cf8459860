#include "StopSignal.h"

#include <time.h>

#include <csignal>

namespace padring {
namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

void RequestStop(int) {
    g_stopRequested = 1;
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a sleep cut short by the signal returns, so the stop is
    // seen at once.
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool StopRequested() {
    return g_stopRequested != 0;
}

void SleepUntil(Clock::time_point deadline) {
    while (!StopRequested()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return;
        }
        timespec pause;
        pause.tv_sec = static_cast<time_t>(left.count() / 1000000000);
        pause.tv_nsec = static_cast<long>(left.count() % 1000000000);
        nanosleep(&pause, nullptr);
    }
}

}  // namespace padring
