// The synthetic pad that padring's producer plays: buttons pressed and
// released in turn, the stick turning in a circle, and a sequence number woven
// into every sample so that a consumer can tell a whole sample from a torn
// one and see what it skipped or got twice. Header-only, so the ring's tests
// write and check the same pattern without linking padring.
#pragma once

#include <cmath>
#include <cstdint>

#include "qor/hid/QVA/hid_DeviceStatus.h"

namespace padring {

using Sequence = std::int64_t;

// Sequence numbers use 48 bits: bits 16 to 31 of hold, trigger and release
// carry its low, middle and high 16 bits. The buttons live in bits 0 to 15.
constexpr Sequence kLastSequence = (Sequence{1} << 48) - 1;

namespace pattern {

constexpr int kButtonCount = 12;
constexpr Sequence kPressEvery = 250;
constexpr Sequence kPressLength = 150;
constexpr qor::bit32 kStickClick = 1u << 15;
constexpr Sequence kClickEvery = 100;
constexpr Sequence kClickLength = 20;
// One turn of the stick. Odd, so two samples of one slot (a multiple of 8
// apart) only share a stick position when they are 8 * 997 samples apart: a
// sample stitched from two writes of a slot does not decode.
constexpr Sequence kTurnLength = 997;
constexpr double kStickRadius = 24000.0;
constexpr double kPi = 3.14159265358979323846;

// Each button in turn is held for kPressLength samples out of kPressEvery, and
// the stick is clicked briefly every kClickEvery samples.
inline qor::bit32 HeldButtons(Sequence sequence) {
    qor::bit32 held = 0;
    if (sequence >= 0 && sequence % kPressEvery < kPressLength) {
        held |= 1u << (sequence / kPressEvery % kButtonCount);
    }
    if (sequence >= 0 && sequence % kClickEvery < kClickLength) {
        held |= kStickClick;
    }
    return held;
}

inline qor::bit32 SequenceBits(Sequence sequence, int part) {
    return static_cast<qor::bit32>((sequence >> (16 * part)) & 0xffff) << 16;
}

struct StickTurn {
    qor::s16 x[kTurnLength];
    qor::s16 y[kTurnLength];
};

// The stick's positions round one turn, worked out once: floating point is
// slow where a processor emulates it, and the ring's tests make and check
// samples by the million.
inline const StickTurn& Turn() {
    static const StickTurn turn = [] {
        StickTurn positions{};
        for (Sequence step = 0; step < kTurnLength; ++step) {
            const double angle = 2.0 * kPi * static_cast<double>(step) / kTurnLength;
            positions.x[step] = static_cast<qor::s16>(std::lround(kStickRadius * std::cos(angle)));
            positions.y[step] = static_cast<qor::s16>(std::lround(kStickRadius * std::sin(angle)));
        }
        return positions;
    }();
    return turn;
}

}  // namespace pattern

// The sample the pad produces as its sequence-th, 0 <= sequence <= kLastSequence.
inline qor::hid::QVA::PadStatus PadSample(Sequence sequence) {
    using namespace pattern;
    const qor::bit32 held = HeldButtons(sequence);
    const qor::bit32 heldBefore = HeldButtons(sequence - 1);
    const Sequence step = sequence % kTurnLength;
    qor::hid::QVA::PadStatus sample;
    sample.hold = held | SequenceBits(sequence, 0);
    sample.trigger = (held & ~heldBefore) | SequenceBits(sequence, 1);
    sample.release = (heldBefore & ~held) | SequenceBits(sequence, 2);
    sample.stick.x = Turn().x[step];
    sample.stick.y = Turn().y[step];
    return sample;
}

// The sequence number of a sample PadSample made, or -1 when no call of
// PadSample gives exactly these 16 bytes (a sample stitched from two, or one
// from another producer).
inline Sequence SequenceOf(const qor::hid::QVA::PadStatus& sample) {
    const Sequence sequence = Sequence{sample.hold >> 16} | Sequence{sample.trigger >> 16} << 16 |
                              Sequence{sample.release >> 16} << 32;
    const qor::hid::QVA::PadStatus expected = PadSample(sequence);
    const bool whole = sample.hold == expected.hold && sample.trigger == expected.trigger &&
                       sample.release == expected.release && sample.stick.x == expected.stick.x &&
                       sample.stick.y == expected.stick.y;
    return whole ? sequence : -1;
}

// The button bits of hold, trigger or release, without the sequence bits.
constexpr qor::bit32 Buttons(qor::bit32 field) {
    return field & 0xffffu;
}

}  // namespace padring
