#include "platform/events/RecordingEventSystem.hpp"

#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

TEST(RecordingEventSystem, ScriptedFailuresPointerAndTheEventLog) {
    RecordingEventSystem events;
    events.setFailCreation(true);
    EXPECT_FALSE(
        events.mouseEvent(std::nullopt, MouseEventType::mouseMoved, {1, 2}, MouseButton::left));
    EXPECT_FALSE(events.createEventSource());
    events.setFailCreation(false);

    char pattern[] = "/tmp/ravnix-events-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::filesystem::path log = std::filesystem::path(pattern) / "events.log";
    ASSERT_TRUE(events.logTo(log));

    auto moved = events.mouseEvent(events.createEventSource(), MouseEventType::leftMouseDragged,
                                   {10.5, 20}, MouseButton::left);
    ASSERT_TRUE(moved);
    moved->setIntegerField(EventField::mouseDeltaX, 3);
    moved->setIntegerField(EventField::mouseDeltaY, -2);
    moved->setIntegerField(EventField::mouseDeltaX, 4); // replaces, does not add
    events.post(*moved);
    auto key = events.keyboardEvent(std::nullopt, 2, true);
    key->setFlags(EventFlags::control | EventFlags::command);
    events.post(*key);

    EXPECT_EQ(events.pointerLocation(), (Point{10.5, 20})); // posted motion moves the pointer
    ASSERT_EQ(events.events().size(), 2u);
    EXPECT_EQ(events.events()[0].fieldCount, 2u);

    std::ifstream file(log);
    std::string first, second;
    std::getline(file, first);
    std::getline(file, second);
    EXPECT_EQ(first, "mouse type=6 x=10.50 y=20.00 button=0 flags=0x0 4=4 5=-2");
    EXPECT_EQ(second, "key code=2 down flags=0x140000");
    std::filesystem::remove_all(pattern);
}

TEST(InputEvent, EqualityIgnoresTheOrderFieldsWereSetIn) {
    InputEvent a, b;
    a.setIntegerField(EventField::scrollPhase, 2);
    a.setIntegerField(EventField::scrollIsContinuous, 1);
    b.setIntegerField(EventField::scrollIsContinuous, 1);
    b.setIntegerField(EventField::scrollPhase, 2);
    EXPECT_EQ(a, b);
    b.setIntegerField(EventField::scrollPhase, 4);
    EXPECT_NE(a, b);
}

} // namespace
} // namespace ravnix
