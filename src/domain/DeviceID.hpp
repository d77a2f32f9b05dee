#pragma once
// The identity of a phone.

#include "domain/Hasher.hpp"
#include "domain/UUID.hpp"

#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace ravnix {

struct DeviceID {
    UUID rawValue;

    static std::optional<DeviceID> random() noexcept {
        if (const auto uuid = UUID::random()) {
            return DeviceID{*uuid};
        }
        return std::nullopt;
    }
    static std::optional<DeviceID> parse(std::string_view text) noexcept {
        if (const auto uuid = UUID::parse(text)) {
            return DeviceID{*uuid};
        }
        return std::nullopt;
    }

    // The UUID's canonical upper-case text.
    std::string description() const { return rawValue.uuidString(); }

    void hashInto(Hasher& hasher) const noexcept { rawValue.hashInto(hasher); }
    bool operator==(const DeviceID&) const = default;
};

} // namespace ravnix

template <> struct std::hash<ravnix::DeviceID> : ravnix::HashFromHasher<ravnix::DeviceID> {};
