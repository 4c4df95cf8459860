#include "PadMapping.h"

#include "PadButtons.h"

namespace padservice {

static_assert(SDL_CONTROLLER_BUTTON_A == 0 && SDL_CONTROLLER_BUTTON_TOUCHPAD == kButtonBits - 1 &&
                  SDL_CONTROLLER_BUTTON_MAX == kButtonBits,
              "hold bits 0 to 20 are SDL's buttons in SDL's order");

PadState ReadPadState(SDL_GameController* controller) {
    PadState state;
    for (int button = 0; button < kButtonBits; ++button) {
        if (SDL_GameControllerGetButton(controller,
                                        static_cast<SDL_GameControllerButton>(button))) {
            state.hold |= qor::bit32{1} << button;
        }
    }
    if (SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_TRIGGERLEFT) >=
        kTriggerThreshold) {
        state.hold |= qor::bit32{1} << kLeftTriggerBit;
    }
    if (SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_TRIGGERRIGHT) >=
        kTriggerThreshold) {
        state.hold |= qor::bit32{1} << kRightTriggerBit;
    }
    state.x = SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_LEFTX);
    state.y = MirrorY(SDL_GameControllerGetAxis(controller, SDL_CONTROLLER_AXIS_LEFTY));
    return state;
}

qor::hid::QVA::PadStatus SampleBetween(const PadState& before, const PadState& now) {
    return qor::hid::QVA::PadStatus{
        now.hold, now.hold & ~before.hold, before.hold & ~now.hold, {now.x, now.y}};
}

}  // namespace padservice
