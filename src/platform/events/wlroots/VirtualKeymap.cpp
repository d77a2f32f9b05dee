#include "platform/events/wlroots/VirtualKeymap.hpp"

#include "platform/events/EvdevInput.hpp"
#include "transport/CFormat.hpp"

#include <cstdlib>
#include <linux/input-event-codes.h>
#include <memory>
#include <xkbcommon/xkbcommon.h>

namespace ravnix {
namespace {

// XKB key codes are the Linux ones plus 8.
constexpr std::uint32_t kEvdevOffset = 8;

struct ContextFree {
    void operator()(xkb_context* context) const noexcept { xkb_context_unref(context); }
};
struct KeymapFree {
    void operator()(xkb_keymap* keymap) const noexcept { xkb_keymap_unref(keymap); }
};

std::expected<std::uint32_t, std::string> maskOf(xkb_keymap* keymap, const char* name) {
    const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, name);
    if (index == XKB_MOD_INVALID || index >= 32) {
        return std::unexpected(formatC("klavye: %s degistiricisi yok", name));
    }
    return std::uint32_t{1} << index;
}

bool hasSymbol(xkb_keymap* keymap, std::uint32_t evdevKey) {
    const xkb_keysym_t* symbols = nullptr;
    return xkb_keymap_key_get_syms_by_level(keymap, evdevKey + kEvdevOffset, 0, 0, &symbols) > 0;
}

} // namespace

std::uint32_t VirtualKeymap::modifierMask(std::uint32_t evdevKey) const noexcept {
    switch (evdevKey) {
    case KEY_LEFTSHIFT:
    case KEY_RIGHTSHIFT:
        return shiftMask;
    case KEY_LEFTCTRL:
    case KEY_RIGHTCTRL:
        return controlMask;
    case KEY_LEFTALT:
    case KEY_RIGHTALT:
        return altMask;
    case KEY_LEFTMETA:
    case KEY_RIGHTMETA:
        return superMask;
    default:
        return 0;
    }
}

std::expected<VirtualKeymap, std::string> VirtualKeymap::build() {
    // No environment names: the user's own XKB_DEFAULT_* must not change what our codes mean.
    std::unique_ptr<xkb_context, ContextFree> context(
        xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context) {
        return std::unexpected(std::string("klavye: xkb baglami kurulamadi"));
    }
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    std::unique_ptr<xkb_keymap, KeymapFree> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap) {
        return std::unexpected(
            std::string("klavye: us duzeni derlenemedi (Debian paketi xkb-data)"));
    }
    for (const auto& entry : evdevKeyTable()) {
        if (!hasSymbol(keymap.get(), entry.evdev)) {
            return std::unexpected(formatC("klavye: %u tusunun simgesi yok", entry.evdev));
        }
    }
    for (const std::uint16_t key : evdevModifierKeys()) {
        if (!hasSymbol(keymap.get(), key)) {
            return std::unexpected(formatC("klavye: %u tusunun simgesi yok", key));
        }
    }
    VirtualKeymap result;
    for (const auto& [mask, name] : {std::pair{&result.shiftMask, XKB_MOD_NAME_SHIFT},
                                     std::pair{&result.controlMask, XKB_MOD_NAME_CTRL},
                                     std::pair{&result.altMask, XKB_MOD_NAME_ALT},
                                     std::pair{&result.superMask, XKB_MOD_NAME_LOGO}}) {
        auto bit = maskOf(keymap.get(), name);
        if (!bit) {
            return std::unexpected(bit.error());
        }
        *mask = *bit;
    }
    char* text = xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1);
    if (text == nullptr) {
        return std::unexpected(std::string("klavye: duzen metne cevrilemedi"));
    }
    result.text = text;
    std::free(text);
    return result;
}

} // namespace ravnix
