#pragma once
// Runs a helper program and collects what it prints, for the checks that read a system
// tool's answer (a firewall's rules). No shell is involved; the program is looked up on PATH.

#include "platform/PlatformError.hpp"

#include <chrono>
#include <expected>
#include <span>
#include <string>

namespace ravnix {

struct CommandResult {
    int exitStatus = 0; // the program's exit status; 128 + signal when a signal ended it
    std::string output; // standard output, at most `outputLimit` bytes
    bool operator==(const CommandResult&) const = default;
};

// Fails when the program cannot be started (ENOENT when it is not installed) or does not end
// within `limit` (ETIMEDOUT; it is then killed). Standard error is discarded. Any thread.
std::expected<CommandResult, PlatformError> runCommand(std::span<const std::string> argv,
                                                       std::chrono::milliseconds limit);

inline constexpr std::size_t outputLimit = 4 * 1024 * 1024;

} // namespace ravnix
