// How a controller's state becomes a pad sample: every button to its bit of
// hold (PadButtons.h), each analog trigger to its bit once pressed halfway,
// the left stick to stick with y positive upwards.
#pragma once

#include <SDL2/SDL.h>

#include "qor/hid/QVA/hid_DeviceStatus.h"
#include "qor/types.h"

namespace padservice {

// A trigger's bit is set from this value on (SDL's triggers run 0 to 32767).
constexpr Sint16 kTriggerThreshold = 16384;

// What a sample says about a controller at one moment; trigger and release
// follow from two of them.
struct PadState {
    qor::bit32 hold = 0;
    qor::s16 x = 0;
    qor::s16 y = 0;

    bool operator==(const PadState& other) const {
        return hold == other.hold && x == other.x && y == other.y;
    }
    bool operator!=(const PadState& other) const { return !(*this == other); }
};

// SDL's y grows downwards, the ring's upwards: -1 - y turns SDL's -32768..32767
// into 32767..-32768, one to one, so no value is lost and a replay can set
// exactly the y a recording holds. It is its own inverse.
inline qor::s16 MirrorY(qor::s16 y) {
    return static_cast<qor::s16>(-1 - y);
}

PadState ReadPadState(SDL_GameController* controller);

// The sample that moves a consumer from state before to state now: trigger
// holds the bits pressed since, release the bits released since.
qor::hid::QVA::PadStatus SampleBetween(const PadState& before, const PadState& now);

}  // namespace padservice
