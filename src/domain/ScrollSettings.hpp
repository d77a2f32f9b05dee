#pragma once
// Scroll preferences handed to the touch interpreter. Only naturalDirection is read here;
// friction and cutoffSpeed are carried for the phone side.

#include "domain/Hasher.hpp"

#include <functional>

namespace ravnix {

struct ScrollSettings {
    double friction = 0.95;
    double cutoffSpeed = 0.5;
    // True keeps the finger's direction; false inverts it.
    bool naturalDirection = true;

    static const ScrollSettings standard;

    void hashInto(Hasher& hasher) const noexcept {
        hasher.combine(friction);
        hasher.combine(cutoffSpeed);
        hasher.combine(naturalDirection);
    }
    bool operator==(const ScrollSettings&) const = default;
};

inline constexpr ScrollSettings ScrollSettings::standard{0.95, 0.5, true};

} // namespace ravnix

template <>
struct std::hash<ravnix::ScrollSettings> : ravnix::HashFromHasher<ravnix::ScrollSettings> {};
