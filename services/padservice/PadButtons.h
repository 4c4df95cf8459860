// What each bit of a pad sample's hold, trigger and release means on the
// rings padservice writes: one bit per controller button, in SDL's button
// order, then one per analog trigger. Free of SDL, for the tools that show it.
#pragma once

namespace padservice {

// Bits 0 to 20: SDL_CONTROLLER_BUTTON_A to SDL_CONTROLLER_BUTTON_TOUCHPAD.
constexpr int kButtonBits = 21;
constexpr int kLeftTriggerBit = 21;
constexpr int kRightTriggerBit = 22;
constexpr int kMappedBits = 23;

// Short labels, indexed by bit.
constexpr const char* kBitLabels[kMappedBits] = {
    "A",    "B",    "X",     "Y",    "BACK", "GUIDE", "START", "LS", "RS",    "LB", "RB", "UP",
    "DOWN", "LEFT", "RIGHT", "MISC", "P1",   "P2",    "P3",    "P4", "TOUCH", "LT", "RT"};

}  // namespace padservice
