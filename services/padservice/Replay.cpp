#include "Replay.h"

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "PadButtons.h"
#include "PadMapping.h"
#include "VirtualController.h"

namespace padservice {
namespace {

constexpr const char* kFirstLine = "# padring samples 1";

// The whole of text as a number in base (10, or 16 after "0x"), or false.
bool ParseNumber(const std::string& text, int base, std::int64_t low, std::int64_t high,
                 std::int64_t* value) {
    if (text.empty() || (text[0] == '-' && base == 16) || text[0] == '+' ||
        std::isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text.c_str(), &end, base);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high) {
        return false;
    }
    *value = parsed;
    return true;
}

// One sample line, or the reason it is none.
std::string ParseLine(const std::string& text, ReplayLine* line) {
    std::istringstream fields(text);
    std::string field[7];
    int count = 0;
    while (count < 7 && fields >> field[count]) {
        ++count;
    }
    if (count != 6) {
        return "expected 6 fields (MICROSECONDS HOLD TRIGGER RELEASE X Y), found " +
               std::string(count > 6 ? "more" : std::to_string(count));
    }
    std::int64_t value = 0;
    if (!ParseNumber(field[0], 10, 0, INT64_MAX, &value)) {
        return "time '" + field[0] + "' is not a whole number of microseconds";
    }
    line->microseconds = value;
    const char* names[] = {"hold", "trigger", "release"};
    for (int set = 0; set < 3; ++set) {
        const std::string& bits = field[1 + set];
        if (bits.size() < 3 || bits.size() > 10 || bits.compare(0, 2, "0x") != 0 ||
            !ParseNumber(bits.substr(2), 16, 0, UINT32_MAX, &value)) {
            return names[set] + std::string(" '") + bits +
                   "' is not 0x and one to eight hex digits";
        }
        if (set == 0) {
            line->hold = static_cast<qor::bit32>(value);
        }
    }
    for (int axis = 0; axis < 2; ++axis) {
        const std::string& text = field[4 + axis];
        if (!ParseNumber(text, 10, INT16_MIN, INT16_MAX, &value)) {
            return std::string(axis == 0 ? "x" : "y") + " '" + text +
                   "' is not a whole number from -32768 to 32767";
        }
        (axis == 0 ? line->x : line->y) = static_cast<qor::s16>(value);
    }
    return std::string();
}

std::string Hex(qor::bit32 bits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, bits);
    return text;
}

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<ReplayLine> ReadReplayFile(const std::string& path) {
    std::ifstream file(path);
    if (!file) {
        throw std::runtime_error(path + ": cannot be read");
    }
    std::vector<ReplayLine> lines;
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        const auto fail = [&](const std::string& what) {
            return std::runtime_error(path + ":" + std::to_string(number) + ": " + what);
        };
        if (number == 1) {
            if (text != kFirstLine) {
                throw fail("not a file of pad samples: the first line must be '" +
                           std::string(kFirstLine) + "'");
            }
            continue;
        }
        ReplayLine line;
        const std::string problem = ParseLine(text, &line);
        if (!problem.empty()) {
            throw fail(problem);
        }
        if (!lines.empty() && line.microseconds < lines.back().microseconds) {
            throw fail("time " + std::to_string(line.microseconds) + " is before the line above");
        }
        lines.push_back(line);
    }
    if (file.bad()) {
        throw std::runtime_error(path + ": cannot be read");
    }
    if (lines.empty()) {
        throw std::runtime_error(path + ": holds no samples");
    }
    return lines;
}

Replay::Replay(const std::string& path, std::vector<ReplayLine> lines, double speed, Report report)
    : m_path(path), m_lines(std::move(lines)), m_speed(speed), m_report(std::move(report)) {
    const int index = AttachVirtualController(("replay of " + BaseName(path)).c_str());
    m_joystick = index >= 0 ? SDL_JoystickOpen(index) : nullptr;
    SDL_GameController* controller = index >= 0 ? SDL_GameControllerOpen(index) : nullptr;
    if (m_joystick == nullptr || controller == nullptr) {
        throw std::runtime_error(path +
                                 ": SDL cannot attach a virtual controller: " + SDL_GetError());
    }
    for (int button = 0; button < kButtonBits; ++button) {
        if (SDL_GameControllerHasButton(controller,
                                        static_cast<SDL_GameControllerButton>(button))) {
            m_mapped |= qor::bit32{1} << button;
        }
    }
    if (SDL_GameControllerHasAxis(controller, SDL_CONTROLLER_AXIS_TRIGGERLEFT)) {
        m_mapped |= qor::bit32{1} << kLeftTriggerBit;
    }
    if (SDL_GameControllerHasAxis(controller, SDL_CONTROLLER_AXIS_TRIGGERRIGHT)) {
        m_mapped |= qor::bit32{1} << kRightTriggerBit;
    }
    SDL_GameControllerClose(controller);
    qor::bit32 unmapped = 0;
    for (const ReplayLine& line : m_lines) {
        unmapped |= line.hold & ~m_mapped;
    }
    if (unmapped != 0) {
        m_report(path + ": hold bits " + Hex(unmapped) +
                 " map to no control of its controller; left out, the rest plays");
    }
    m_start = Clock::now();
    PlayNext();
}

Replay::~Replay() {
    if (m_joystick != nullptr) {
        DetachVirtualController(m_joystick);
    }
}

Clock::time_point Replay::NextDue() const {
    if (m_next == m_lines.size()) {
        return Clock::time_point::max();
    }
    const double seconds =
        static_cast<double>(m_lines[m_next].microseconds - m_lines.front().microseconds) / 1e6 /
        m_speed;
    return m_start +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

void Replay::PlayNext() {
    Set(m_lines[m_next]);
    if (++m_next == m_lines.size()) {
        m_report(m_path + ": played all " + std::to_string(m_lines.size()) +
                 " lines; its controller stays until padservice stops");
    }
}

void Replay::Set(const ReplayLine& line) {
    // SDL takes the values in at the service's next poll, on this thread,
    // after all of them are set: a line reaches the ring as one sample.
    for (int button = 0; button < kButtonBits; ++button) {
        const qor::bit32 bit = qor::bit32{1} << button;
        if ((m_mapped & bit) != 0) {
            SDL_JoystickSetVirtualButton(m_joystick, button, (line.hold & bit) != 0);
        }
    }
    const auto trigger = [&](int bit) -> Sint16 {
        return (line.hold & m_mapped & (qor::bit32{1} << bit)) != 0 ? SDL_JOYSTICK_AXIS_MAX
                                                                    : SDL_JOYSTICK_AXIS_MIN;
    };
    SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_TRIGGERLEFT,
                               trigger(kLeftTriggerBit));
    SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_TRIGGERRIGHT,
                               trigger(kRightTriggerBit));
    SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_LEFTX, line.x);
    SDL_JoystickSetVirtualAxis(m_joystick, SDL_CONTROLLER_AXIS_LEFTY, MirrorY(line.y));
}

}  // namespace padservice
