#pragma once
// What the portal backend sends for the core's events: the input calls every backend with
// relative motion and Linux key codes shares. Each call maps to one of the portal's methods:
// motion NotifyPointerMotion(dx, dy), button NotifyPointerButton(code, state), axis
// NotifyPointerAxis(dx, dy) with the "finish" option, discrete NotifyPointerAxisDiscrete(axis =
// code, steps = value), key NotifyKeyboardKeycode(code, state).

#include "platform/events/EvdevInput.hpp"

namespace ravnix {

using PortalCall = EvdevCall;
using PortalCalls = EvdevCalls;
using PortalInput = EvdevInput;

} // namespace ravnix
