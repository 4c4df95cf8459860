// Replays a file of pad samples, as padring record writes them, through an
// SDL virtual controller: each line's state is set on the controller at the
// line's time, and the service then reads it like any controller's.
#pragma once

#include <SDL2/SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "PadService.h"
#include "ServiceLoop.h"
#include "qor/types.h"

namespace padservice {

// One line of the file. Its trigger and release are not kept: the service
// works them out from the states, as for any controller.
struct ReplayLine {
    std::int64_t microseconds;
    qor::bit32 hold;
    qor::s16 x;
    qor::s16 y;
};

// Reads a whole file; throws std::runtime_error "FILE:LINE: what is wrong"
// for the first bad line, or "FILE: ..." when it cannot be read.
std::vector<ReplayLine> ReadReplayFile(const std::string& path);

class Replay {
public:
    // Attaches a virtual controller named after the file, holding the first
    // line's state; the lines after it follow at their times, scaled by
    // 1 / speed. Hold bits no control of it maps to are reported once and
    // left out. Throws std::runtime_error when SDL cannot attach it.
    Replay(const std::string& path, std::vector<ReplayLine> lines, double speed, Report report);
    ~Replay();
    Replay(const Replay&) = delete;
    Replay& operator=(const Replay&) = delete;

    // When the next line falls due; Clock::time_point::max() once all played.
    Clock::time_point NextDue() const;
    // Sets the next line's state on the controller, all at once.
    void PlayNext();

private:
    void Set(const ReplayLine& line);

    std::string m_path;
    std::vector<ReplayLine> m_lines;
    double m_speed;
    Report m_report;
    SDL_Joystick* m_joystick = nullptr;
    qor::bit32 m_mapped = 0;  // the hold bits a control of the controller sets
    Clock::time_point m_start;
    std::size_t m_next = 0;
};

}  // namespace padservice
