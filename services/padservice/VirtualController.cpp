#include "VirtualController.h"

namespace padservice {

int AttachVirtualController(const char* name) {
    SDL_VirtualJoystickDesc description;
    SDL_zero(description);
    description.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    description.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    description.naxes = SDL_CONTROLLER_AXIS_MAX;
    description.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    description.name = name;
    return SDL_JoystickAttachVirtualEx(&description);
}

void DetachVirtualController(SDL_Joystick* joystick) {
    const SDL_JoystickID instance = SDL_JoystickInstanceID(joystick);
    SDL_JoystickClose(joystick);
    for (int index = 0; index < SDL_NumJoysticks(); ++index) {
        if (SDL_JoystickGetDeviceInstanceID(index) == instance) {
            SDL_JoystickDetachVirtual(index);
        }
    }
}

}  // namespace padservice
