// The synthetic pad that padring's producer plays: buttons pressed and
// released in turn, the stick turning in a circle, and a sequence number woven
// into every sample so that a consumer can tell a whole sample from a torn
// one and see what it skipped or got twice.
#pragma once

#include <cstdint>

#include "qor/hid/QVA/hid_DeviceStatus.h"

namespace padring {

using Sequence = std::int64_t;

// Sequence numbers use 48 bits: bits 16 to 31 of hold, trigger and release
// carry its low, middle and high 16 bits. The buttons live in bits 0 to 15.
constexpr Sequence kLastSequence = (Sequence{1} << 48) - 1;

// The sample the pad produces as its sequence-th, 0 <= sequence <= kLastSequence.
qor::hid::QVA::PadStatus PadSample(Sequence sequence);

// The sequence number of a sample PadSample made, or -1 when no call of
// PadSample gives exactly these 16 bytes (a sample stitched from two, or one
// from another producer).
Sequence SequenceOf(const qor::hid::QVA::PadStatus& sample);

// The button bits of hold, trigger or release, without the sequence bits.
constexpr qor::bit32 Buttons(qor::bit32 field) {
    return field & 0xffffu;
}

}  // namespace padring
