#include "PlayerSlots.h"

namespace padservice {

int PlayerSlots::Take(const ControllerIdentity& controller) {
    const auto firstFree = [this](auto&& fits) {
        for (std::size_t player = 0; player < m_slots.size(); ++player) {
            if (!m_slots[player].taken && fits(m_slots[player])) {
                return static_cast<int>(player);
            }
        }
        return -1;
    };
    int player = firstFree(
        [&](const Slot& slot) { return slot.everTaken && slot.last.SameController(controller); });
    if (player < 0) {
        player = firstFree([](const Slot& slot) { return !slot.everTaken; });
    }
    if (player < 0) {
        player = firstFree([](const Slot&) { return true; });
    }
    if (player >= 0) {
        m_slots[static_cast<std::size_t>(player)] = Slot{true, true, controller};
    }
    return player;
}

}  // namespace padservice
