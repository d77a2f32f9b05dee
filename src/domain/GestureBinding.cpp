#include "domain/GestureBinding.hpp"

#include <utility>

namespace ravnix {
namespace {

// Indexed by the enumeration value.
constexpr std::array<std::string_view, 12> rawValues{
    "twoFingerScroll",
    "pinch",
    "rotate",
    "smartZoom",
    "twoFingerSwipe",
    "threeFingerSwipeUp",
    "threeFingerSwipeDown",
    "threeFingerSwipeHorizontal",
    "fourFingerSwipeUp",
    "fourFingerSwipeDown",
    "fourFingerSwipeHorizontal",
    "threeFingerTap",
};

template <std::size_t... I>
constexpr std::array<GestureBinding, sizeof...(I)>
makeDefaults(std::index_sequence<I...>) noexcept {
    return {GestureBinding(allGestureKinds[I], GestureAction::nativeGesture)...};
}

} // namespace

std::string_view rawValue(GestureKind kind) noexcept {
    const auto index = static_cast<std::size_t>(kind);
    return index < rawValues.size() ? rawValues[index] : std::string_view();
}

std::optional<GestureKind> gestureKindFromRawValue(std::string_view text) noexcept {
    for (const GestureKind kind : allGestureKinds) {
        if (rawValue(kind) == text) {
            return kind;
        }
    }
    return std::nullopt;
}

const std::array<GestureBinding, 12>& GestureBinding::defaults() noexcept {
    // Built at compile time; one shared immutable table.
    static constexpr std::array<GestureBinding, 12> table =
        makeDefaults(std::make_index_sequence<allGestureKinds.size()>());
    return table;
}

} // namespace ravnix
