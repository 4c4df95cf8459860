// What every consistent read must deliver, as one check shared by the tests
// that drive readers against a moving writer.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "RingTestSupport.h"

namespace qor::test {

// Empty when samples[0..count) is what a consistent read returns to a reader
// whose newest sample so far was lastSeen (-1 for none) and whose cursor now
// names newestSlot: whole samples, consecutive, newest first, all newer than
// lastSeen, the cursor on the newest. Otherwise says what is wrong.
inline std::string ReadViolation(const PadStatus* samples, s32 count, std::int64_t lastSeen,
                                 s32 newestSlot) {
    std::ostringstream problem;
    for (s32 i = 0; i < count && problem.tellp() == 0; ++i) {
        const std::int64_t sequence = SequenceOf(samples[i]);
        if (sequence < 0) {
            problem << "entry " << i << " is torn";
        } else if (i > 0 && sequence != SequenceOf(samples[i - 1]) - 1) {
            problem << "entry " << i << " holds sample " << sequence << " after sample "
                    << SequenceOf(samples[i - 1]);
        } else if (sequence <= lastSeen) {
            problem << "entry " << i << " holds sample " << sequence
                    << ", delivered before (newest seen " << lastSeen << ")";
        } else if (i == 0 && newestSlot != sequence % hidlow::QVA::PAD_LIFORING_BUFFER_NUM) {
            problem << "cursor names slot " << newestSlot << ", newest sample " << sequence
                    << " is in slot " << sequence % hidlow::QVA::PAD_LIFORING_BUFFER_NUM;
        }
    }
    return problem.str();
}

}  // namespace qor::test
