// SDL's game-controller subsystem for the life of this object. SDL installs
// no signal handlers of its own: the service stops on signals itself.
#pragma once

#include <stdexcept>

namespace padservice {

class SdlSession {
public:
    // Throws std::runtime_error with SDL's reason when SDL cannot start.
    SdlSession();
    ~SdlSession();
    SdlSession(const SdlSession&) = delete;
    SdlSession& operator=(const SdlSession&) = delete;
};

}  // namespace padservice
