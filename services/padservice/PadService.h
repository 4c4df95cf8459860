// The pad input service's core: one ring per player, each controller SDL
// reports on the lowest free player, and a sample on the player's ring each
// time its controller's state changes. Runs on one thread, inside an
// SdlSession.
#pragma once

#include <SDL2/SDL.h>
#include <sys/types.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "PadMapping.h"
#include "PlayerSlots.h"
#include "qor/hidlow/QVA/hidlow_SharedPadRingProducer.h"

namespace padservice {

struct ServiceOptions {
    std::string prefix = "pad";  // rings /pad0, /pad1, ...
    int players = 4;
    mode_t mode = 0600;
    bool keep = false;  // leave the rings to the next service instead of removing them
};

// One line for the service's log: a controller came or went, or was left out.
using Report = std::function<void(const std::string&)>;

class PadService {
public:
    // Makes every player's ring, or takes it over from a service that is
    // gone; throws SharedPadRingError (kProducerAlive while one runs) and
    // then leaves no ring it made. Controllers SDL knows already get players.
    PadService(const ServiceOptions& options, Report report);
    ~PadService();
    PadService(const PadService&) = delete;
    PadService& operator=(const PadService&) = delete;

    // Lets SDL read its controllers once, takes in those that came, lets go
    // of those that went, and writes a sample for each player whose
    // controller changed. Returns whether it wrote any sample.
    bool Poll();

    bool AnyController() const;
    const std::string& RingName(int player) const;
    int Players() const { return static_cast<int>(m_players.size()); }

    // A clean stop: removes the rings unless asked to keep them.
    void Stop();

private:
    struct Player {
        qor::hidlow::QVA::SharedPadRingProducer ring;
        SDL_GameController* controller = nullptr;
        SDL_JoystickID instance = -1;
        PadState written;  // the state of the newest sample on the ring
        bool changed = false;
    };

    void Connect(int deviceIndex);
    void Disconnect(SDL_JoystickID instance);
    void Write(Player& player, const PadState& state);
    Player* PlayerWith(SDL_JoystickID instance);

    ServiceOptions m_options;
    Report m_report;
    std::vector<Player> m_players;
    PlayerSlots m_slots;
};

}  // namespace padservice
