#include "ReadCheck.h"

#include <algorithm>

#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"

namespace padring {

namespace {

// Checks the ring's count against the sample numbers: the numbers between the
// consumer's newest before this read and the oldest of it (none before the
// first delivery, nor in a read that delivered nothing).
std::string MiscountOf(qor::hidlow::QVA::PadLifoRingMissed missed, Sequence passedOver) {
    if (missed.exact ? missed.count == passedOver
                     : missed.count >= 0 && missed.count <= passedOver) {
        return {};
    }
    return std::string("the ring counted ") + (missed.exact ? "" : "at least ") +
           std::to_string(missed.count) + " samples passed over; the sample numbers say " +
           std::to_string(passedOver);
}

}  // namespace

std::string ReadCheck::Take(const qor::hid::QVA::PadStatus* samples, qor::s32 count,
                            qor::s32 bufferNum, qor::hidlow::QVA::PadLifoRingMissed missed) {
    const qor::s32 room = std::min(bufferNum, qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM - 1);
    if (count < 0 || count > room) {
        return "delivered " + std::to_string(count) + " samples into room for " +
               std::to_string(room);
    }
    m_skipped += missed.count;
    m_skippedExact = m_skippedExact && missed.exact;
    if (count == 0) {
        return MiscountOf(missed, 0);
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
    if (problem.empty()) {
        problem = MiscountOf(missed, m_newest < 0 ? 0 : newest - count + 1 - (m_newest + 1));
    }
    m_newest = std::max(m_newest, newest);
    return problem;
}

}  // namespace padring
