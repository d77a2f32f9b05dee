#pragma once
// The phone program's command line, read without touching anything: the subcommand, its one
// argument where it takes one, and the options with their defaults.

#include "cli/CommandLine.hpp"
#include "pairing/ConnectionScenario.hpp"

#include <chrono>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ravnix {

// Every member has an initializer, so that a designated initializer may leave any of them out.
struct PhoneOptions {
    enum class Command { browse, pair, ping, play, status };

    ProgramRequest request = ProgramRequest::run; // version and help leave the rest default
    Command command = Command::browse;
    std::string target{}; // pair: the desktop's name; play: the demonstration's ID
    std::chrono::milliseconds timeout{5000};        // bounds every network wait
    std::chrono::milliseconds answerTimeout{60000}; // bounds waiting for a person
    std::optional<std::string> desktop{};           // which pairing, when there are several
    SecretStoreChoice secretStore = SecretStoreChoice::automatic;
    ConnectionScenario::Route route = ConnectionScenario::Route::wifi;
    double seconds = 5;                    // browse
    int count = 10;                        // ping
    double rate = 120;                     // play, frames per second
    int repeat = 1;                        // play
    double scale = 1;                      // play
    std::optional<std::string> deviceID{}; // pair: the identity the phone presents
    std::optional<std::string> name{};
    std::optional<std::string> model{};

    bool operator==(const PhoneOptions&) const = default;
};

// The arguments after the program's name.
std::expected<PhoneOptions, UsageError>
parsePhoneOptions(std::span<const std::string_view> arguments);

// Printed after a refused command line, and first in --help.
extern const std::string_view phoneUsage;
// The rest of --help.
extern const std::string_view phoneOptionsHelp;

} // namespace ravnix
