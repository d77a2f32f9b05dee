#pragma once
#include <cstdint>
#include <string>

namespace ravnix {

// A failed operation of a platform service: what was attempted (with its argument where it
// matters, e.g. "rename(/home/a/.config/ravnix/defaults.json)") and an errno value.
struct PlatformError {
    std::string operation;
    std::int32_t code = 0;

    // operation + " başarısız: " + strerror(code) + " (" + code + ")"
    std::string text() const;
    bool operator==(const PlatformError&) const = default;
};

} // namespace ravnix
