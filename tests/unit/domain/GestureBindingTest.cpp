#include "domain/GestureBinding.hpp"

#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace ravnix {
namespace {

using Modifiers = KeyboardShortcut::Modifiers;

TEST(GestureKind, RawValuesMatchExactly) {
    EXPECT_EQ(gestureKindFromRawValue("pinch"), GestureKind::pinch);
    for (const char* text : {"Pinch", "", "pinch ", "twofingerscroll", "threeFingerTapX"}) {
        EXPECT_FALSE(gestureKindFromRawValue(text).has_value()) << '"' << text << '"';
    }
    // Every case reads back from its own text, and no two cases share one.
    for (std::size_t i = 0; i < allGestureKinds.size(); ++i) {
        const GestureKind kind = allGestureKinds[i];
        EXPECT_EQ(static_cast<std::size_t>(kind), i);
        EXPECT_EQ(gestureKindFromRawValue(rawValue(kind)), kind) << rawValue(kind);
    }
}

TEST(GestureBinding, ActionsCompareAndHashByCaseAndShortcut) {
    const std::hash<GestureAction> hash;
    const GestureAction plainD = KeyboardShortcut{2, {}};
    const GestureAction commandD = KeyboardShortcut{2, Modifiers::command};
    EXPECT_NE(hash(plainD), hash(commandD));
    EXPECT_NE(hash(GestureAction::nativeGesture), hash(GestureAction::disabled));
    // Key code and modifier byte must not be interchangeable.
    EXPECT_NE(hash(GestureAction(KeyboardShortcut{1, Modifiers{2}})),
              hash(GestureAction(KeyboardShortcut{2, Modifiers{1}})));
    EXPECT_EQ(hash(commandD), hash(GestureAction(KeyboardShortcut{2, Modifiers::command})));

    // A binding hashes its action too; changing the action keeps the kind.
    GestureBinding binding(GestureKind::rotate, GestureAction::nativeGesture);
    const auto before = std::hash<GestureBinding>{}(binding);
    binding.setAction(GestureAction::disabled);
    EXPECT_EQ(binding.kind(), GestureKind::rotate);
    EXPECT_NE(std::hash<GestureBinding>{}(binding), before);
}

TEST(KeyboardShortcut, ModifierSetOperations) {
    const Modifiers chord = Modifiers::control | Modifiers::command;
    EXPECT_EQ(chord.rawValue, 0x09);
    EXPECT_TRUE(chord.contains(Modifiers::command));
    EXPECT_FALSE(chord.contains(Modifiers::command | Modifiers::shift));
    EXPECT_EQ(chord & (Modifiers::command | Modifiers::shift), Modifiers::command);
    EXPECT_TRUE((Modifiers::option & Modifiers::function).isEmpty());
    // Bits without an option are kept, not dropped.
    EXPECT_EQ((Modifiers{0x80} | Modifiers::shift).rawValue, 0x82);
}

} // namespace
} // namespace ravnix
