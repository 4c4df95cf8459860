// A block of status lines that follows a running command: redrawn in place a
// few times a second on a terminal, printed once a second otherwise, so a log
// or a test's output stays readable.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "StopSignal.h"

namespace padring {

class LiveStatus {
public:
    explicit LiveStatus(std::FILE* out);

    bool OnTerminal() const { return m_onTerminal; }

    // Whether a new block is due now.
    bool Due() const { return Clock::now() >= m_nextShow; }

    // Shows lines, replacing the block shown before on a terminal.
    void Show(const std::vector<std::string>& lines);

private:
    std::FILE* m_out;
    bool m_onTerminal;
    Clock::time_point m_start;
    Clock::time_point m_nextShow;
    std::size_t m_shownLines = 0;
};

}  // namespace padring
