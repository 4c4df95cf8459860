#include "ProblemLog.h"

#include <chrono>

namespace padring {

void ProblemLog::Record(const std::string& problem) {
    ++m_total;
    for (Entry& entry : m_entries) {
        if (entry.text == problem) {
            ++entry.count;
            return;
        }
    }
    m_entries.push_back(Entry{problem, 1, 1});
    std::fprintf(m_out, "problem %zu: %s\n", m_entries.size(), problem.c_str());
}

void ProblemLog::ShowRecurring() {
    const Clock::time_point now = Clock::now();
    if (now < m_nextShow) {
        return;
    }
    m_nextShow = now + std::chrono::seconds(1);
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        Entry& entry = m_entries[i];
        if (entry.count != entry.shown) {
            std::fprintf(m_out, "problem %zu: %lld times so far\n", i + 1,
                         static_cast<long long>(entry.count));
            entry.shown = entry.count;
        }
    }
}

}  // namespace padring
