#pragma once
// Start-up readings of the desktop's settings that the model keeps for the whole run.

#include "platform/Preferences.hpp"

#include <string>

namespace ravnix {

// The trackpad speed of the desktop ("com.apple.trackpad.scaling" of the global domain, where
// 0.6875 is the neutral setting) as a tracking scale: v ÷ 0.6875 within 0.25 … 3.0; 1.0 when
// the value is absent or not a number.
double readSystemScale(const Preferences& preferences);

// This computer's stable identifier for pairing and the peer route: the stored
// "macIdentifier" string, else a new random UUID in upper-case canonical form, stored once.
// A failed write still returns the new identifier (it then changes at the next start).
std::string loadMacIdentifier(Preferences& preferences);

} // namespace ravnix
