// Ctrl-C (SIGINT), SIGTERM and a closed terminal (SIGHUP) ask the running
// command to stop: it finishes its current step, cleans up and exits normally.
// Broken pipes become write errors instead of killing the process.
#pragma once

#include <chrono>

namespace padring {

using Clock = std::chrono::steady_clock;

void InstallStopHandlers();

bool StopRequested();

// Sleeps until deadline, or less when a stop is requested meanwhile.
void SleepUntil(Clock::time_point deadline);

}  // namespace padring
