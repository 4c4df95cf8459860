// When the service lets SDL read its controllers. SDL reads them only when
// asked, and its own event wait asks every millisecond; the service asks
// often while a controller is in use and seldom once they all stand still,
// sleeping in between.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <vector>

namespace padservice {

using Clock = std::chrono::steady_clock;

class PadService;
class Replay;

// While a controller changed within the last kQuietAfter: every kBusyPeriod,
// so a change reaches its ring within about that. Then every kQuietPeriod,
// which bounds the delay of the first change after a quiet spell. With no
// controller at all, every kAlonePeriod: that only delays hot-plug.
constexpr auto kBusyPeriod = std::chrono::microseconds(500);
constexpr auto kQuietPeriod = std::chrono::milliseconds(4);
constexpr auto kQuietAfter = std::chrono::seconds(2);
constexpr auto kAlonePeriod = std::chrono::milliseconds(100);

Clock::time_point NextPoll(Clock::time_point now, Clock::time_point lastChange, bool anyController);

// Sleeps until deadline; returns early when a signal arrives.
void SleepUntil(Clock::time_point deadline);

// Polls the service on that schedule until keepGoing returns false, and plays
// each replay's lines when they fall due, polling after each line so that
// every line becomes a sample of its own.
void RunService(PadService& service, const std::vector<std::unique_ptr<Replay>>& replays,
                const std::function<bool()>& keepGoing);

}  // namespace padservice
