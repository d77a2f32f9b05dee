#pragma once
// The keyboard description a virtual keyboard hands to the compositor: the compositor reads
// every key it receives through it, and so do the applications. Compiled here with
// libxkbcommon from the standard names (rules evdev, model pc105, layout us), checked to give a
// symbol to every Linux key code the backend sends, and kept as its text.

#include <cstdint>
#include <expected>
#include <string>

namespace ravnix {

struct VirtualKeymap {
    std::string text; // XKB text format, version 1
    // The modifier bits of the keymap's Shift, Control, Alt (Mod1) and Super (Mod4).
    std::uint32_t shiftMask = 0;
    std::uint32_t controlMask = 0;
    std::uint32_t altMask = 0;
    std::uint32_t superMask = 0;

    // The modifier bit a Linux key code holds down, 0 for other keys.
    std::uint32_t modifierMask(std::uint32_t evdevKey) const noexcept;

    // Compiles the keymap; fails with the reason (Turkish, no diacritics) when libxkbcommon
    // cannot, or when a key the backend sends has no symbol in it.
    static std::expected<VirtualKeymap, std::string> build();
};

} // namespace ravnix
