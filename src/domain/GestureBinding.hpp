#pragma once
// Trackpad gestures and what each can be bound to: the system's own behaviour, a keyboard
// shortcut, or nothing.

#include "domain/Hasher.hpp"

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <type_traits>
#include <variant>

namespace ravnix {

// Declaration order is the enumeration order and the raw value's index.
enum class GestureKind : std::uint8_t {
    twoFingerScroll,
    pinch,
    rotate,
    smartZoom,
    twoFingerSwipe,
    threeFingerSwipeUp,
    threeFingerSwipeDown,
    threeFingerSwipeHorizontal,
    fourFingerSwipeUp,
    fourFingerSwipeDown,
    fourFingerSwipeHorizontal,
    threeFingerTap,
};

inline constexpr std::array<GestureKind, 12> allGestureKinds{
    GestureKind::twoFingerScroll,
    GestureKind::pinch,
    GestureKind::rotate,
    GestureKind::smartZoom,
    GestureKind::twoFingerSwipe,
    GestureKind::threeFingerSwipeUp,
    GestureKind::threeFingerSwipeDown,
    GestureKind::threeFingerSwipeHorizontal,
    GestureKind::fourFingerSwipeUp,
    GestureKind::fourFingerSwipeDown,
    GestureKind::fourFingerSwipeHorizontal,
    GestureKind::threeFingerTap,
};

// The case's name, e.g. "threeFingerTap".
std::string_view rawValue(GestureKind kind) noexcept;
// Exact, case-sensitive match of a raw value; any other text yields none.
std::optional<GestureKind> gestureKindFromRawValue(std::string_view text) noexcept;

struct KeyboardShortcut {
    // Five options over one byte; the other bits carry none. Never turned into event flags.
    struct Modifiers {
        std::uint8_t rawValue = 0;

        static const Modifiers command;
        static const Modifiers shift;
        static const Modifiers option;
        static const Modifiers control;
        static const Modifiers function;

        constexpr bool contains(Modifiers other) const noexcept {
            return (rawValue & other.rawValue) == other.rawValue;
        }
        constexpr bool isEmpty() const noexcept { return rawValue == 0; }
        constexpr Modifiers operator|(Modifiers other) const noexcept {
            return Modifiers{static_cast<std::uint8_t>(rawValue | other.rawValue)};
        }
        constexpr Modifiers operator&(Modifiers other) const noexcept {
            return Modifiers{static_cast<std::uint8_t>(rawValue & other.rawValue)};
        }
        constexpr Modifiers& operator|=(Modifiers other) noexcept {
            rawValue = static_cast<std::uint8_t>(rawValue | other.rawValue);
            return *this;
        }
        constexpr Modifiers& operator&=(Modifiers other) noexcept {
            rawValue = static_cast<std::uint8_t>(rawValue & other.rawValue);
            return *this;
        }
        bool operator==(const Modifiers&) const = default;
    };

    // Virtual key code.
    std::uint16_t keyCode = 0;
    Modifiers modifiers;

    void hashInto(Hasher& hasher) const noexcept {
        hasher.combine(keyCode);
        hasher.combine(modifiers.rawValue);
    }
    bool operator==(const KeyboardShortcut&) const = default;
};

inline constexpr KeyboardShortcut::Modifiers KeyboardShortcut::Modifiers::command{0x01};
inline constexpr KeyboardShortcut::Modifiers KeyboardShortcut::Modifiers::shift{0x02};
inline constexpr KeyboardShortcut::Modifiers KeyboardShortcut::Modifiers::option{0x04};
inline constexpr KeyboardShortcut::Modifiers KeyboardShortcut::Modifiers::control{0x08};
inline constexpr KeyboardShortcut::Modifiers KeyboardShortcut::Modifiers::function{0x10};

struct GestureAction {
    // The system's own behaviour for the gesture.
    struct NativeGesture {
        bool operator==(const NativeGesture&) const = default;
    };
    struct Disabled {
        bool operator==(const Disabled&) const = default;
    };

    // The alternative's index is the case number that hashing feeds.
    using Case = std::variant<NativeGesture, KeyboardShortcut, Disabled>;
    Case value;

    static const GestureAction nativeGesture;
    static const GestureAction disabled;

    template <typename T>
    requires std::is_constructible_v<Case, T>
    constexpr GestureAction(T c) : value(c) {} // NOLINT(google-explicit-constructor)

    template <typename T> constexpr bool is() const noexcept {
        return std::holds_alternative<T>(value);
    }
    template <typename T> constexpr const T* as() const noexcept { return std::get_if<T>(&value); }

    void hashInto(Hasher& hasher) const noexcept {
        hasher.combine(value.index());
        if (const auto* shortcut = as<KeyboardShortcut>()) {
            shortcut->hashInto(hasher);
        }
    }
    bool operator==(const GestureAction&) const = default;
};

inline constexpr GestureAction GestureAction::nativeGesture{GestureAction::NativeGesture{}};
inline constexpr GestureAction GestureAction::disabled{GestureAction::Disabled{}};

class GestureBinding {
  public:
    constexpr GestureBinding(GestureKind kind, GestureAction action) noexcept
        : kind_(kind), action_(action) {}

    // One binding per kind, in enumeration order, each to the system's own behaviour.
    static const std::array<GestureBinding, 12>& defaults() noexcept;

    constexpr GestureKind kind() const noexcept { return kind_; }
    constexpr const GestureAction& action() const noexcept { return action_; }
    constexpr void setAction(GestureAction action) noexcept { action_ = action; }

    void hashInto(Hasher& hasher) const noexcept {
        hasher.combine(rawValue(kind_));
        action_.hashInto(hasher);
    }
    bool operator==(const GestureBinding&) const = default;

  private:
    GestureKind kind_;
    GestureAction action_;
};

} // namespace ravnix

template <>
struct std::hash<ravnix::KeyboardShortcut> : ravnix::HashFromHasher<ravnix::KeyboardShortcut> {};
template <>
struct std::hash<ravnix::GestureAction> : ravnix::HashFromHasher<ravnix::GestureAction> {};
template <>
struct std::hash<ravnix::GestureBinding> : ravnix::HashFromHasher<ravnix::GestureBinding> {};
