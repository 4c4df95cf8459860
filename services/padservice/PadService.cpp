#include "PadService.h"

#include <utility>

#include "qor/hidlow/QVA/hidlow_PadLifoRingSnapshot.h"

namespace padservice {
namespace {

using qor::hid::QVA::PadStatus;
using qor::hidlow::QVA::PadLifoRing;
using qor::hidlow::QVA::PadLifoRingSnapshot;
using qor::hidlow::QVA::SharedPadRingProducer;

constexpr int kEventBatch = 64;

// The state the newest sample in a ring gives, or the neutral one. No
// producer writes the ring meanwhile: one copy is enough.
PadState NewestState(const PadLifoRing& ring) {
    PadLifoRingSnapshot snapshot;
    if (!ring.TakeSnapshot(&snapshot, 1) || snapshot.Damage().field != nullptr ||
        snapshot.NewestSlot() < 0) {
        return PadState{};
    }
    const PadStatus& newest = snapshot.buffers[snapshot.NewestSlot()];
    return PadState{newest.hold, newest.stick.x, newest.stick.y};
}

std::string GuidText(SDL_JoystickGUID guid) {
    char text[33];
    SDL_JoystickGetGUIDString(guid, text, sizeof text);
    return text;
}

std::string Quoted(const char* name) {
    return "'" + std::string(name != nullptr ? name : "unnamed controller") + "'";
}

}  // namespace

PadService::PadService(const ServiceOptions& options, Report report)
    : m_options(options), m_report(std::move(report)), m_slots(options.players) {
    try {
        for (int player = 0; player < options.players; ++player) {
            SharedPadRingProducer ring = SharedPadRingProducer::CreateOrTakeOver(
                options.prefix + std::to_string(player), options.mode);
            const PadState newest = NewestState(ring.Ring());
            if (ring.TookOver()) {
                const qor::s32 pid = ring.PreviousProducerPid();
                m_report("took over " + ring.Name() + " from " +
                         (pid > 0 ? "pid " + std::to_string(pid) + ", which is gone"
                                  : "the last service, which stopped"));
            }
            m_players.push_back(Player{std::move(ring), nullptr, -1, newest, false});
        }
    } catch (...) {
        for (Player& player : m_players) {
            if (!player.ring.TookOver()) {
                player.ring.RemoveName();
            }
        }
        throw;
    }
    Poll();
    // The last service's controllers went with it: what they held is released.
    for (Player& player : m_players) {
        if (player.controller == nullptr && player.written != PadState{}) {
            Write(player, PadState{});
        }
    }
}

PadService::~PadService() {
    for (Player& player : m_players) {
        if (player.controller != nullptr) {
            SDL_GameControllerClose(player.controller);
        }
    }
}

bool PadService::Poll() {
    SDL_PumpEvents();
    SDL_Event events[kEventBatch];
    int count = 0;
    while ((count = SDL_PeepEvents(events, kEventBatch, SDL_GETEVENT, SDL_FIRSTEVENT,
                                   SDL_LASTEVENT)) > 0) {
        for (int i = 0; i < count; ++i) {
            const SDL_Event& event = events[i];
            Player* player = nullptr;
            switch (event.type) {
                case SDL_JOYDEVICEADDED:
                    Connect(event.jdevice.which);
                    break;
                case SDL_JOYDEVICEREMOVED:
                    Disconnect(event.jdevice.which);
                    break;
                case SDL_CONTROLLERAXISMOTION:
                    player = PlayerWith(event.caxis.which);
                    break;
                case SDL_CONTROLLERBUTTONDOWN:
                case SDL_CONTROLLERBUTTONUP:
                    player = PlayerWith(event.cbutton.which);
                    break;
                default:
                    break;
            }
            if (player != nullptr) {
                player->changed = true;
            }
        }
    }
    bool wrote = false;
    for (Player& player : m_players) {
        if (!player.changed) {
            continue;
        }
        player.changed = false;
        const PadState state = ReadPadState(player.controller);
        if (state != player.written) {
            Write(player, state);
            wrote = true;
        }
    }
    return wrote;
}

void PadService::Connect(int deviceIndex) {
    const SDL_JoystickID instance = SDL_JoystickGetDeviceInstanceID(deviceIndex);
    if (PlayerWith(instance) != nullptr) {
        return;
    }
    const std::string name = Quoted(SDL_JoystickNameForIndex(deviceIndex));
    const std::string guid = GuidText(SDL_JoystickGetDeviceGUID(deviceIndex));
    if (!SDL_IsGameController(deviceIndex)) {
        m_report("left out " + name + " (GUID " + guid +
                 "): SDL has no controller mapping for it; SDL_GAMECONTROLLERCONFIG can add one");
        return;
    }
    SDL_GameController* controller = SDL_GameControllerOpen(deviceIndex);
    if (controller == nullptr) {
        m_report("left out " + name + ": SDL cannot open it: " + SDL_GetError());
        return;
    }
    const char* serial = SDL_GameControllerGetSerial(controller);
    const int index = m_slots.Take(ControllerIdentity{guid, serial != nullptr ? serial : ""});
    if (index < 0) {
        SDL_GameControllerClose(controller);
        m_report("left out " + name + ": all " + std::to_string(m_players.size()) +
                 " players have a controller");
        return;
    }
    Player& player = m_players[static_cast<std::size_t>(index)];
    player.controller = controller;
    player.instance = instance;
    const char* controllerName = SDL_GameControllerName(controller);
    player.ring.ConnectDevice(controllerName != nullptr ? controllerName : "");
    // Always a sample, so consumers see the state it came with at once.
    Write(player, ReadPadState(controller));
    m_report("player " + std::to_string(index) + " (" + player.ring.Name() +
             "): " + Quoted(controllerName) + " connected");
}

void PadService::Disconnect(SDL_JoystickID instance) {
    Player* player = PlayerWith(instance);
    if (player == nullptr) {
        return;  // one that was left out
    }
    const int index = static_cast<int>(player - m_players.data());
    const std::string name = Quoted(SDL_GameControllerName(player->controller));
    SDL_GameControllerClose(player->controller);
    player->controller = nullptr;
    player->instance = -1;
    player->changed = false;
    m_slots.Free(index);
    // Whatever it held is released, and the stick centred.
    if (player->written != PadState{}) {
        Write(*player, PadState{});
    }
    player->ring.DisconnectDevice();
    m_report("player " + std::to_string(index) + " (" + player->ring.Name() + "): " + name +
             " disconnected");
}

void PadService::Write(Player& player, const PadState& state) {
    const PadStatus sample = SampleBetween(player.written, state);
    player.ring.Ring().WriteData(&sample, 1);
    player.written = state;
}

PadService::Player* PadService::PlayerWith(SDL_JoystickID instance) {
    for (Player& player : m_players) {
        if (player.controller != nullptr && player.instance == instance) {
            return &player;
        }
    }
    return nullptr;
}

bool PadService::AnyController() const {
    for (const Player& player : m_players) {
        if (player.controller != nullptr) {
            return true;
        }
    }
    return false;
}

const std::string& PadService::RingName(int player) const {
    return m_players[static_cast<std::size_t>(player)].ring.Name();
}

void PadService::Stop() {
    for (Player& player : m_players) {
        if (player.written != PadState{}) {
            Write(player, PadState{});
        }
        player.ring.DisconnectDevice();
        if (!m_options.keep) {
            player.ring.RemoveName();
        }
    }
}

}  // namespace padservice
