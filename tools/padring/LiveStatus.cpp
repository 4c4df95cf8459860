#include "LiveStatus.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>

namespace padring {
namespace {

constexpr auto kTerminalInterval = std::chrono::milliseconds(200);
constexpr auto kLogInterval = std::chrono::seconds(1);

// Lines longer than the terminal is wide would wrap, and the cursor would no
// longer find the top of the block: cut them to fit.
std::size_t TerminalWidth(std::FILE* out) {
    winsize size = {};
    if (ioctl(fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 1) {
        return size.ws_col - 1;
    }
    return 79;
}

}  // namespace

LiveStatus::LiveStatus(std::FILE* out)
    : m_out(out),
      m_onTerminal(isatty(fileno(out)) != 0),
      m_start(Clock::now()),
      m_nextShow(m_start + (m_onTerminal ? Clock::duration(kTerminalInterval) : kLogInterval)) {}

void LiveStatus::Show(const std::vector<std::string>& lines) {
    const Clock::time_point now = Clock::now();
    if (m_onTerminal) {
        if (m_shownLines > 0) {
            std::fprintf(m_out, "\033[%zuA", m_shownLines);  // back to the block's first line
        }
        const std::size_t width = TerminalWidth(m_out);
        for (const std::string& line : lines) {
            std::fprintf(m_out, "\r%s\033[K\n", line.substr(0, width).c_str());
        }
        m_shownLines = lines.size();
        m_nextShow = now + kTerminalInterval;
    } else {
        const double seconds = std::chrono::duration<double>(now - m_start).count();
        std::fprintf(m_out, "after %.1f s:\n", seconds);
        for (const std::string& line : lines) {
            std::fprintf(m_out, "  %s\n", line.c_str());
        }
        m_nextShow = now + kLogInterval;
    }
    std::fflush(m_out);
}

}  // namespace padring
