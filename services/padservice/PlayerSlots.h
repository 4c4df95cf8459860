// Which player a controller gets: the lowest free one, except that a player
// stays kept for the controller that had it until every other is taken, so a
// controller unplugged and plugged back gets its player back.
#pragma once

#include <string>
#include <vector>

namespace padservice {

// What tells two controllers apart: SDL's serial where the controller has one
// (unique to the device), else its GUID (bus, vendor, product, version and
// name: the same for two controllers of one model).
struct ControllerIdentity {
    std::string guid;
    std::string serial;

    bool SameController(const ControllerIdentity& other) const {
        return serial.empty() && other.serial.empty() ? guid == other.guid : serial == other.serial;
    }
};

class PlayerSlots {
public:
    explicit PlayerSlots(int players) : m_slots(static_cast<std::size_t>(players)) {}

    // The player for a controller that has come, or -1 when all are taken.
    int Take(const ControllerIdentity& controller);
    void Free(int player) { m_slots[static_cast<std::size_t>(player)].taken = false; }

private:
    struct Slot {
        bool taken = false;
        bool everTaken = false;
        ControllerIdentity last;
    };
    std::vector<Slot> m_slots;
};

}  // namespace padservice
