// Follows one consumer's reads and checks each against what the ring
// promises: every delivered sample whole, newest first, consecutive within the
// read, and none delivered before.
#pragma once

#include <cstdint>
#include <string>

#include "PadPattern.h"
#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/types.h"

namespace padring {

class ReadCheck {
public:
    // samples[0..count) as one ReadData call delivered them into room for
    // bufferNum. Returns what is wrong with them, or an empty string; the
    // same fault gives the same text, so repeats can be counted.
    std::string Take(const qor::hid::QVA::PadStatus* samples, qor::s32 count, qor::s32 bufferNum);

    std::int64_t Received() const { return m_received; }
    // Samples written between two deliveries that this consumer never got
    // (the ring keeps only the newest). Those from before its first are not counted.
    std::int64_t Skipped() const { return m_skipped; }
    // The newest sequence number delivered so far; -1 before the first.
    Sequence Newest() const { return m_newest; }

private:
    std::int64_t m_received = 0;
    std::int64_t m_skipped = 0;
    Sequence m_newest = -1;
};

}  // namespace padring
