// Checks a consumer's counting reads against what the ring promises: every
// delivered sample whole, newest first, consecutive within the read, none
// delivered before, and what the read passed over counted right. Header-only
// and allocating nothing while all is well, so the ring's tests run the same
// check, inside a model checker's threads too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

#include "PadPattern.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/types.h"

namespace padring {

// What is wrong with samples[0..count), as one ReadDataCountingMissed call
// with room for bufferNum delivered them, with what it said it passed over, to
// a consumer whose newest sample before was newestBefore (-1: none yet); ""
// when nothing is. The same fault gives the same text, so repeats can be
// counted.
inline std::string ReadProblem(const qor::hid::QVA::PadStatus* samples, qor::s32 count,
                               qor::s32 bufferNum, Sequence newestBefore,
                               qor::hidlow::QVA::PadLifoRingMissed missed) {
    const qor::s32 room = std::min(bufferNum, qor::hidlow::QVA::PAD_LIFORING_BUFFER_NUM - 1);
    if (count < 0 || count > room) {
        return "delivered " + std::to_string(count) + " samples into room for " +
               std::to_string(room);
    }
    Sequence oldest = -1;
    for (qor::s32 i = 0; i < count; ++i) {
        const Sequence sequence = SequenceOf(samples[i]);
        // Never true of a torn sample's -1: newestBefore is -1 at least.
        if (sequence > newestBefore && (i == 0 || sequence == oldest - 1)) {
            oldest = sequence;
            continue;
        }
        const std::string entry = "entry " + std::to_string(i);
        if (sequence < 0) {
            return entry + " is not a whole sample";
        }
        if (i > 0 && sequence != oldest - 1) {
            return entry + " is sample " + std::to_string(sequence) + ", after sample " +
                   std::to_string(oldest);
        }
        return entry + " is sample " + std::to_string(sequence) +
               ", delivered before (newest so far " + std::to_string(newestBefore) + ")";
    }
    // The numbers between the consumer's newest and the oldest of this read;
    // none before its first delivery, nor in a read that delivered nothing.
    const Sequence passedOver = newestBefore < 0 || count == 0 ? 0 : oldest - newestBefore - 1;
    if (missed.exact ? missed.count == passedOver
                     : missed.count >= 0 && missed.count <= passedOver) {
        return {};
    }
    return std::string("the ring counted ") + (missed.exact ? "" : "at least ") +
           std::to_string(missed.count) + " samples passed over; the sample numbers say " +
           std::to_string(passedOver);
}

// Follows one consumer's reads through ReadProblem and adds up what they
// delivered and passed over.
class ReadCheck {
public:
    std::string Take(const qor::hid::QVA::PadStatus* samples, qor::s32 count, qor::s32 bufferNum,
                     qor::hidlow::QVA::PadLifoRingMissed missed) {
        std::string problem = ReadProblem(samples, count, bufferNum, m_newest, missed);
        m_received += std::max(count, 0);
        m_skipped += missed.count;
        m_skippedExact = m_skippedExact && missed.exact;
        m_newest = count > 0 ? std::max(m_newest, SequenceOf(samples[0])) : m_newest;
        return problem;
    }

    std::int64_t Received() const { return m_received; }
    // Samples the ring counted as passed over between deliveries (it keeps
    // only the newest); at least this many unless SkippedExact. Those from
    // before the first read are not counted.
    std::int64_t Skipped() const { return m_skipped; }
    bool SkippedExact() const { return m_skippedExact; }

private:
    std::int64_t m_received = 0;
    std::int64_t m_skipped = 0;
    bool m_skippedExact = true;
    Sequence m_newest = -1;
};

}  // namespace padring
