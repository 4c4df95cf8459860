// SDL virtual controllers with every button and axis a game controller has:
// what a replay plays into, and what the tests and the benchmark drive.
#pragma once

#include <SDL2/SDL.h>

namespace padservice {

// Attaches one and returns its device index, or -1 with SDL's reason in
// SDL_GetError(). Its values can only be set once it is opened.
int AttachVirtualController(const char* name);

// Closes and detaches one: the service sees it unplugged.
void DetachVirtualController(SDL_Joystick* joystick);

}  // namespace padservice
