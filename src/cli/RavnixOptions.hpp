#pragma once
// The desktop program's command line, read without touching anything: which shell, which
// event backend, which port and which secret store, or the connection doctor instead.

#include "cli/CommandLine.hpp"

#include <cstdint>
#include <expected>
#include <span>
#include <string_view>

namespace ravnix {

struct RavnixOptions {
    // --events=KIND: what posts the pointer, scroll and key events.
    enum class Events { automatic, x11, portal, wlroots, uinput, log, none };

    ProgramRequest request = ProgramRequest::run; // version and help leave the rest default
    bool headless = false;
    Events events = Events::automatic;
    std::uint16_t port = 9931;        // the touch link's UDP port
    std::uint16_t pairingPort = 9932; // TCP; another when it is taken
    std::uint16_t peerPort = 9933;    // UDP, the peer route; another when it is taken
    SecretStoreChoice secretStore = SecretStoreChoice::automatic;
    // --doctor: check, from outside, why a phone may not find or reach the running program,
    // print one line per check and end.
    bool doctor = false;

    bool operator==(const RavnixOptions&) const = default;
};

// The arguments after the program's name.
std::expected<RavnixOptions, UsageError>
parseRavnixOptions(std::span<const std::string_view> arguments);

// Printed after a refused command line, and first in --help.
extern const std::string_view ravnixUsage;
// The rest of --help.
extern const std::string_view ravnixOptionsHelp;

} // namespace ravnix
