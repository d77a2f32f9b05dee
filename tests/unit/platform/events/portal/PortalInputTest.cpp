// What the portal backend sends for each of the core's events, without a bus.

#include "platform/events/portal/PortalInput.hpp"

#include "platform/events/portal/PortalEventSystem.hpp"

#include <cmath>
#include <gtest/gtest.h>
#include <linux/input-event-codes.h>
#include <vector>

namespace ravnix {
namespace {

using Kind = PortalCall::Kind;

std::vector<PortalCall> calls(PortalInput& input, const InputEvent& event) {
    const PortalCalls out = input.translate(event);
    return {out.begin(), out.end()};
}

PortalCall key(std::int32_t code, bool down) {
    return {.kind = Kind::key, .code = code, .state = down ? 1u : 0u};
}

InputEvent keyEvent(std::uint16_t code, bool down, std::uint64_t flags) {
    auto event = InputEvent::keyboard(std::nullopt, code, down);
    event.setFlags(flags);
    return event;
}

InputEvent scroll(std::int32_t vertical, std::int32_t horizontal, std::int64_t phase,
                  std::uint64_t flags = 0) {
    auto event = InputEvent::scrollWheel(std::nullopt, vertical, horizontal);
    event.setIntegerField(EventField::scrollIsContinuous, 1);
    event.setIntegerField(EventField::scrollPhase, phase);
    event.setFlags(flags);
    return event;
}

// Motion, summed without losing a fraction: PortalEventSystemTest.
TEST(PortalInput, ButtonsPressWhereTheEventSaysAndMapToBtnLeftAndRight) {
    PortalInput input;
    input.setPosition({10, 10});
    EXPECT_EQ(calls(input, InputEvent::mouse(std::nullopt, MouseEventType::leftMouseDown, {10, 10},
                                             MouseButton::left)),
              (std::vector<PortalCall>{{.kind = Kind::button, .code = BTN_LEFT, .state = 1}}));
    EXPECT_EQ(calls(input, InputEvent::mouse(std::nullopt, MouseEventType::leftMouseUp, {10, 10},
                                             MouseButton::left)),
              (std::vector<PortalCall>{{.kind = Kind::button, .code = BTN_LEFT, .state = 0}}));
    // Somewhere else: the pointer goes there first.
    EXPECT_EQ(calls(input, InputEvent::mouse(std::nullopt, MouseEventType::rightMouseDown,
                                             {12.5, 7}, MouseButton::right)),
              (std::vector<PortalCall>{{.kind = Kind::motion, .dx = 2.5, .dy = -3},
                                       {.kind = Kind::button, .code = BTN_RIGHT, .state = 1}}));
}

TEST(PortalInput, ScrollingIsSmoothWithAFinishOrInLinesAndZoomHoldsControl) {
    PortalInput input;
    // Upwards on the core's side is negative on the portal's axes.
    EXPECT_EQ(calls(input, scroll(30, -4, 1)),
              (std::vector<PortalCall>{{.kind = Kind::axis, .dx = 4, .dy = -30}}));
    EXPECT_TRUE(calls(input, scroll(0, 0, 2)).empty());
    const auto finish = calls(input, scroll(0, 0, 4));
    EXPECT_EQ(finish, (std::vector<PortalCall>{{.kind = Kind::axis, .finish = true}}));
    EXPECT_FALSE(std::signbit(finish[0].dx) || std::signbit(finish[0].dy)); // no -0.0
    EXPECT_EQ(calls(input, scroll(-12, 0, 8)),
              (std::vector<PortalCall>{{.kind = Kind::axis, .dy = 12, .finish = true}}));

    // Command-scroll zooms: Control is held around the axis event.
    EXPECT_EQ(calls(input, scroll(5, 0, 2, EventFlags::command)),
              (std::vector<PortalCall>{key(KEY_LEFTCTRL, true),
                                       {.kind = Kind::axis, .dy = -5},
                                       key(KEY_LEFTCTRL, false)}));

    // Without the continuous field: whole lines, capped.
    auto lines = InputEvent::scrollWheel(std::nullopt, 48, 0);
    lines.setIntegerField(EventField::scrollDeltaAxis1, 3);
    lines.setIntegerField(EventField::scrollDeltaAxis2, -1000);
    EXPECT_EQ(calls(input, lines),
              (std::vector<PortalCall>{{.kind = Kind::discrete, .code = 0, .value = -3},
                                       {.kind = Kind::discrete, .code = 1, .value = 64}}));
}

TEST(PortalInput, KeysCarryTheirModifiersAndShowDesktopIsSuperD) {
    PortalInput input;
    const std::uint64_t flags = EventFlags::shift | EventFlags::command | EventFlags::secondaryFn;
    EXPECT_EQ(calls(input, keyEvent(2, true, flags)),
              (std::vector<PortalCall>{key(KEY_LEFTSHIFT, true), key(KEY_LEFTMETA, true),
                                       key(KEY_D, true)}));
    EXPECT_EQ(calls(input, keyEvent(2, false, flags)),
              (std::vector<PortalCall>{key(KEY_D, false), key(KEY_LEFTMETA, false),
                                       key(KEY_LEFTSHIFT, false)}));
    EXPECT_EQ(calls(input, keyEvent(126, true, EventFlags::option | EventFlags::control)),
              (std::vector<PortalCall>{key(KEY_LEFTCTRL, true), key(KEY_LEFTALT, true),
                                       key(KEY_UP, true)}));
    EXPECT_TRUE(calls(input, InputEvent::keyboard(std::nullopt, 10, true)).empty());

    // F11 with Fn: the whole chord on key-down, nothing on key-up, so it toggles once.
    EXPECT_EQ(calls(input, keyEvent(103, true, EventFlags::secondaryFn)),
              (std::vector<PortalCall>{key(KEY_LEFTMETA, true), key(KEY_D, true), key(KEY_D, false),
                                       key(KEY_LEFTMETA, false)}));
    EXPECT_TRUE(calls(input, keyEvent(103, false, EventFlags::secondaryFn)).empty());

    EXPECT_EQ(evdevKeyForVirtualKey(0), KEY_A);
    EXPECT_EQ(evdevKeyForVirtualKey(53), KEY_ESC);
    EXPECT_FALSE(evdevKeyForVirtualKey(0xFFFF));
}

TEST(PortalScreens, TopLeftFramesTurnIntoBottomLeftOnesAroundThePrimary) {
    // Qt and mutter: primary at (100, 50), a second screen to its right and 200 higher.
    const Rect frames[] = {{100, 50, 1280, 720}, {1380, -150, 1920, 1080}};
    const ScreenList screens = screenListFromTopLeft(frames);
    ASSERT_EQ(screens.count, 2u);
    EXPECT_EQ(screens.frames[0], (Rect{0, 0, 1280, 720}));
    EXPECT_EQ(screens.frames[1], (Rect{1280, -160, 1920, 1080}));
    EXPECT_TRUE(screenListFromTopLeft({}).empty());
}

} // namespace
} // namespace ravnix
