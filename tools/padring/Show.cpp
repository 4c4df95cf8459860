// padring show: a live picture of one pad, redrawn 60 times a second by a
// consumer of its own: the buttons of padservice's mapping lit while held,
// the stick as a dot in a box, the controller, the sample rate, what was
// missed, and the producer. Plain ANSI on the terminal's alternate screen;
// the terminal is left as it was found.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "Commands.h"
#include "PadButtons.h"
#include "StopSignal.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingConsumer.h"

namespace padring {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM;
using qor::hidlow::QVA::SharedPadRingConsumer;

constexpr auto kFramePeriod = std::chrono::microseconds(1000000 / 60);
constexpr int kBoxWidth = 31;  // inside the frame, odd so that there is a middle
constexpr int kBoxHeight = 11;
constexpr int kLabelsPerLine = 12;

// Keys arrive one at a time without echo while the picture is up; Ctrl-C
// still raises SIGINT. The alternate screen keeps what the terminal showed.
class Terminal {
public:
    Terminal() {
        m_isTerminal = tcgetattr(STDIN_FILENO, &m_saved) == 0;
        if (m_isTerminal) {
            termios raw = m_saved;
            raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
            raw.c_cc[VMIN] = 0;
            raw.c_cc[VTIME] = 0;
            tcsetattr(STDIN_FILENO, TCSANOW, &raw);
        }
        std::fputs("\x1b[?1049h\x1b[?25l", stdout);
    }
    ~Terminal() {
        std::fputs("\x1b[?25h\x1b[?1049l", stdout);
        std::fflush(stdout);
        if (m_isTerminal) {
            tcsetattr(STDIN_FILENO, TCSANOW, &m_saved);
        }
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool QuitPressed() const {
        char key = 0;
        while (read(STDIN_FILENO, &key, 1) == 1) {
            if (key == 'q' || key == 'Q') {
                return true;
            }
        }
        return false;
    }

private:
    termios m_saved{};
    bool m_isTerminal = false;
};

std::string ProducerText(const SharedPadRingConsumer& ring, qor::s32 countAtStart) {
    const qor::s32 count = ring.ProducerCount();
    const qor::s32 pid = ring.ProducerPid();
    if (!ring.ProducerAlive()) {
        return pid > 0 ? "none (pid " + std::to_string(pid) + " is gone)"
                       : "none (the last one stopped)";
    }
    const std::string running = "running (pid " + std::to_string(pid) + ")";
    return count > countAtStart ? "taken over, " + running : running;
}

std::string ControllerText(const SharedPadRingConsumer& ring) {
    const auto device = ring.Device();
    if (!device.has_value()) {
        return "unknown (its producer is naming it, or died doing so)";
    }
    if (!device->connected) {
        return "none";
    }
    return device->name + " (connection " + std::to_string(device->connections) + ")";
}

// Column and row of the stick's dot inside the box: x to the right, y up.
int DotColumn(qor::s16 x) {
    return static_cast<int>(((x + 32768L) * (kBoxWidth - 1) + 32767) / 65535);
}
int DotRow(qor::s16 y) {
    return static_cast<int>(((32767L - y) * (kBoxHeight - 1) + 32767) / 65535);
}

struct Picture {
    std::string ringName;
    std::string controller;
    std::string producer;
    long long rate;
    long long received;
    long long missed;
    bool missedExact;
    PadStatus newest;
};

void Draw(const Picture& picture) {
    std::string frame = "\x1b[H";
    const auto line = [&frame](const std::string& text) { frame += text + "\x1b[K\r\n"; };
    line(picture.ringName + "  controller: " + picture.controller);
    line("producer: " + picture.producer);
    line("samples/s " + std::to_string(picture.rate) + "   received " +
         std::to_string(picture.received) + "   missed " +
         (picture.missedExact ? "" : "at least ") + std::to_string(picture.missed));
    line("");
    std::string labels;
    for (int bit = 0; bit < padservice::kMappedBits; ++bit) {
        const bool held = (picture.newest.hold >> bit) & 1u;
        const std::string label = padservice::kBitLabels[bit];
        labels += held ? "\x1b[7m[" + label + "]\x1b[0m " : " " + label + "  ";
        if ((bit + 1) % kLabelsPerLine == 0 || bit + 1 == padservice::kMappedBits) {
            line(labels);
            labels.clear();
        }
    }
    line("");
    const std::string edge = "+" + std::string(kBoxWidth, '-') + "+";
    line(edge);
    const int dotColumn = DotColumn(picture.newest.stick.x);
    const int dotRow = DotRow(picture.newest.stick.y);
    for (int row = 0; row < kBoxHeight; ++row) {
        std::string inside(kBoxWidth, ' ');
        inside[kBoxWidth / 2] = row == kBoxHeight / 2 ? '+' : ' ';
        if (row == dotRow) {
            inside[static_cast<std::size_t>(dotColumn)] = 'o';
        }
        line("|" + inside + "|");
    }
    line(edge);
    line("stick x " + std::to_string(picture.newest.stick.x) + "  y " +
         std::to_string(picture.newest.stick.y));
    line("");
    line("q or Ctrl-C quits");
    std::fputs(frame.c_str(), stdout);
    std::fflush(stdout);
}

}  // namespace

int RunShow(const ReadOptions& options) {
    InstallStopHandlers();
    const SharedPadRingConsumer ring = SharedPadRingConsumer::Open(options.name, options.owner);
    const qor::s32 countAtStart = ring.ProducerCount();
    const Terminal terminal;
    Picture picture{ring.Name(), "", "", 0, 0, 0, true, PadStatus{}};
    qor::s64 tick = -1;
    qor::s32 index = -1;
    long long inThisSecond = 0;
    Clock::time_point secondStart = Clock::now();
    while (!StopRequested() && !terminal.QuitPressed()) {
        const Clock::time_point now = Clock::now();
        PadStatus samples[PAD_LIFORING_BUFFER_NUM - 1];
        const qor::s64 tickBefore = tick;
        qor::s32 count = 0;
        const qor::hidlow::QVA::PadLifoRingMissed passedOver = ring.Ring().ReadDataCountingMissed(
            samples, PAD_LIFORING_BUFFER_NUM - 1, &count, &tick, &index);
        if (count > 0) {
            picture.newest = samples[0];
        }
        // The samples already in the ring when the picture starts are its
        // first state, not samples it received.
        if (tickBefore >= 0) {
            picture.received += count;
            inThisSecond += count;
            picture.missed += passedOver.count;
            picture.missedExact = picture.missedExact && passedOver.exact;
        }
        if (now - secondStart >= std::chrono::seconds(1)) {
            picture.rate = inThisSecond;
            inThisSecond = 0;
            secondStart = now;
        }
        picture.controller = ControllerText(ring);
        picture.producer = ProducerText(ring, countAtStart);
        Draw(picture);
        SleepUntil(now + kFramePeriod);
    }
    return kSuccess;
}

}  // namespace padring
