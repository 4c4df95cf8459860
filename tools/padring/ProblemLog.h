// The problems one consumer meets: each distinct one is printed when first
// seen, and how often it recurred at most once a second after that, so a
// damaged ring gives a line per problem instead of a line per poll.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "StopSignal.h"

namespace padring {

class ProblemLog {
public:
    explicit ProblemLog(std::FILE* out) : m_out(out) {}

    void Record(const std::string& problem);

    // Prints the running count of each problem that recurred since it was
    // last shown, if a second has passed since the last such line.
    void ShowRecurring();

    std::int64_t Total() const { return m_total; }

private:
    struct Entry {
        std::string text;
        std::int64_t count;
        std::int64_t shown;
    };

    std::FILE* m_out;
    std::vector<Entry> m_entries;
    std::int64_t m_total = 0;
    Clock::time_point m_nextShow = Clock::now();
};

}  // namespace padring
