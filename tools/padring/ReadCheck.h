// Follows one consumer's counting reads and checks each against what the ring
// promises: every delivered sample whole, newest first, consecutive within the
// read, none delivered before, and what the read passed over counted right.
#pragma once

#include <cstdint>
#include <string>

#include "PadPattern.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/hidlow/QVA/hidlow_PadLifoRing.h"
#include "qor/types.h"

namespace padring {

class ReadCheck {
public:
    // samples[0..count) as one ReadDataCountingMissed call delivered them
    // into room for bufferNum, and what it said it passed over. Returns what
    // is wrong with them, or an empty string; the same fault gives the same
    // text, so repeats can be counted.
    std::string Take(const qor::hid::QVA::PadStatus* samples, qor::s32 count, qor::s32 bufferNum,
                     qor::hidlow::QVA::PadLifoRingMissed missed);

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
