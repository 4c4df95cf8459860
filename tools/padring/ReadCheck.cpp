#include "ReadCheck.h"

#include <algorithm>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace padring {

std::string ReadCheck::Take(const qor::hid::QVA::PadStatus* samples, qor::s32 count,
                            qor::s32 bufferNum) {
    const qor::s32 room = std::min(bufferNum, qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM - 1);
    if (count < 0 || count > room) {
        return "delivered " + std::to_string(count) + " samples into room for " +
               std::to_string(room);
    }
    if (count == 0) {
        return {};
    }

    std::string problem;
    Sequence newer = -1;
    for (qor::s32 i = 0; i < count && problem.empty(); ++i) {
        const Sequence sequence = SequenceOf(samples[i]);
        const std::string entry = "entry " + std::to_string(i);
        if (sequence < 0) {
            problem = entry + " is not a whole sample";
        } else if (i > 0 && sequence != newer - 1) {
            problem = entry + " is sample " + std::to_string(sequence) + ", after sample " +
                      std::to_string(newer);
        } else if (sequence <= m_newest) {
            problem = entry + " is sample " + std::to_string(sequence) +
                      ", delivered before (newest so far " + std::to_string(m_newest) + ")";
        }
        newer = sequence;
    }

    m_received += count;
    const Sequence newest = SequenceOf(samples[0]);
    if (problem.empty() && m_newest >= 0) {
        m_skipped += newest - count + 1 - (m_newest + 1);
    }
    m_newest = std::max(m_newest, newest);
    return problem;
}

}  // namespace padring
