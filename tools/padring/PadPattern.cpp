#include "PadPattern.h"

#include <cmath>

namespace padring {
namespace {

using qor::bit32;
using qor::hid::QVA::PadStatus;

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
bit32 HeldButtons(Sequence sequence) {
    bit32 held = 0;
    if (sequence >= 0 && sequence % kPressEvery < kPressLength) {
        held |= 1u << (sequence / kPressEvery % kButtonCount);
    }
    if (sequence >= 0 && sequence % kClickEvery < kClickLength) {
        held |= kStickClick;
    }
    return held;
}

bit32 SequenceBits(Sequence sequence, int part) {
    return static_cast<bit32>((sequence >> (16 * part)) & 0xffff) << 16;
}

}  // namespace

PadStatus PadSample(Sequence sequence) {
    const bit32 held = HeldButtons(sequence);
    const bit32 heldBefore = HeldButtons(sequence - 1);
    const double angle = 2.0 * kPi * static_cast<double>(sequence % kTurnLength) / kTurnLength;
    PadStatus sample;
    sample.hold = held | SequenceBits(sequence, 0);
    sample.trigger = (held & ~heldBefore) | SequenceBits(sequence, 1);
    sample.release = (heldBefore & ~held) | SequenceBits(sequence, 2);
    sample.stick.x = static_cast<qor::s16>(std::lround(kStickRadius * std::cos(angle)));
    sample.stick.y = static_cast<qor::s16>(std::lround(kStickRadius * std::sin(angle)));
    return sample;
}

Sequence SequenceOf(const PadStatus& sample) {
    const Sequence sequence = Sequence{sample.hold >> 16} | Sequence{sample.trigger >> 16} << 16 |
                              Sequence{sample.release >> 16} << 32;
    const PadStatus expected = PadSample(sequence);
    const bool whole = sample.hold == expected.hold && sample.trigger == expected.trigger &&
                       sample.release == expected.release && sample.stick.x == expected.stick.x &&
                       sample.stick.y == expected.stick.y;
    return whole ? sequence : -1;
}

}  // namespace padring
