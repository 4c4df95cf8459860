#include "SdlSession.h"

#include <SDL2/SDL.h>

#include <string>

namespace padservice {

SdlSession::SdlSession() {
    SDL_SetHint(SDL_HINT_NO_SIGNAL_HANDLERS, "1");
    if (SDL_Init(SDL_INIT_GAMECONTROLLER) != 0) {
        throw std::runtime_error(std::string("SDL cannot start its game-controller subsystem: ") +
                                 SDL_GetError());
    }
}

SdlSession::~SdlSession() {
    SDL_Quit();
}

}  // namespace padservice
