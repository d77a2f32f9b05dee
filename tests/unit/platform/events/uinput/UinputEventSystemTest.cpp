// The uinput backend: the records it writes for the core's events, read back from a pipe, and
// the real device where the kernel offers one.

#include "platform/events/uinput/UinputEventSystem.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/input.h>
#include <unistd.h>
#include <vector>

namespace ravnix {
namespace {

using Frame = std::vector<UinputRecord>;

// Everything written so far, split into groups at SYN_REPORT (which ends each group and is
// left out); records after the last SYN_REPORT come as a last, unfinished group.
std::vector<Frame> readFrames(int fd) {
    std::vector<Frame> frames(1);
    input_event event{};
    while (::read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event)) {
        if (event.type == EV_SYN && event.code == SYN_REPORT) {
            frames.emplace_back();
        } else {
            frames.back().push_back({event.type, event.code, event.value});
        }
    }
    frames.pop_back(); // empty when every group was finished
    return frames;
}

InputEvent smooth(std::int32_t vertical, std::int32_t horizontal, std::int64_t phase) {
    auto event = InputEvent::scrollWheel(std::nullopt, vertical, horizontal);
    event.setIntegerField(EventField::scrollIsContinuous, 1);
    event.setIntegerField(EventField::scrollPhase, phase);
    return event;
}

TEST(UinputEventSystem, WritesEachEventAsRecordsEndedBySynReport) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ASSERT_EQ(::fcntl(ends[0], F_SETFL, O_NONBLOCK), 0);
    auto events = UinputEventSystem::forDescriptor(ends[1]);
    ScreenList screens;
    screens.add({0, 0, 1280, 720});
    events->setScreens(screens);
    EXPECT_EQ(events->pointerLocation(), (Point{640, 360}));

    // Eight steps of (0.375, -0.25): whole pixels go out when they have added up.
    for (int i = 0; i < 8; ++i) {
        const Point at = *events->pointerLocation();
        events->post(*events->mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                         {at.x + 0.375, at.y - 0.25}, MouseButton::left));
    }
    const std::vector<Frame> motion = readFrames(ends[0]);
    EXPECT_EQ(motion, (std::vector<Frame>{{{EV_REL, REL_X, 1}},
                                          {{EV_REL, REL_Y, -1}},
                                          {{EV_REL, REL_X, 1}},
                                          {{EV_REL, REL_X, 1}, {EV_REL, REL_Y, -1}}}));

    const Point at = *events->pointerLocation();
    events->post(*events->mouseEvent(std::nullopt, MouseEventType::leftMouseDown, at, {}));
    events->post(*events->mouseEvent(std::nullopt, MouseEventType::leftMouseUp, at, {}));
    for (const bool down : {true, false}) {
        auto key = *events->keyboardEvent(std::nullopt, 0, down); // 'a'
        key.setFlags(EventFlags::shift);
        events->post(key);
    }
    // Smooth scrolling: 8 high-resolution units a pixel, a classic notch for every 120; the
    // end of the gesture has no record. Then two lines upwards.
    events->post(smooth(-20, 0, 1));
    events->post(smooth(-10, 3, 2));
    events->post(smooth(0, 0, 4));
    auto lines = *events->scrollWheelEvent(std::nullopt, 0, 0);
    lines.setIntegerField(EventField::scrollDeltaAxis1, 2);
    events->post(lines);
    EXPECT_EQ(readFrames(ends[0]), (std::vector<Frame>{
                                       {{EV_KEY, BTN_LEFT, 1}},
                                       {{EV_KEY, BTN_LEFT, 0}},
                                       {{EV_KEY, KEY_LEFTSHIFT, 1}},
                                       {{EV_KEY, KEY_A, 1}},
                                       {{EV_KEY, KEY_A, 0}},
                                       {{EV_KEY, KEY_LEFTSHIFT, 0}},
                                       {{EV_REL, REL_WHEEL_HI_RES, -160}, {EV_REL, REL_WHEEL, -1}},
                                       {{EV_REL, REL_WHEEL_HI_RES, -80},
                                        {EV_REL, REL_WHEEL, -1},
                                        {EV_REL, REL_HWHEEL_HI_RES, -24}},
                                       {{EV_REL, REL_WHEEL_HI_RES, 240}, {EV_REL, REL_WHEEL, 2}},
                                   }));
    EXPECT_TRUE(events->isTrusted());
    EXPECT_EQ(events->droppedEvents(), 0u);
    ::close(ends[0]);

    // A descriptor that refuses writes: the backend says so and counts what it could not send.
    const int readOnly = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(readOnly, 0);
    std::vector<std::string> log;
    auto refused = UinputEventSystem::forDescriptor(
        readOnly, {.onEvent = [&log](const std::string& line) { log.push_back(line); }});
    refused->post(*refused->mouseEvent(std::nullopt, MouseEventType::leftMouseDown, {}, {}));
    refused->post(*refused->mouseEvent(std::nullopt, MouseEventType::leftMouseUp, {}, {}));
    EXPECT_FALSE(refused->isTrusted());
    EXPECT_NE(refused->untrustedReason().value_or("").find("yazilamadi"), std::string::npos);
    EXPECT_EQ(refused->droppedEvents(), 2u);
    EXPECT_EQ(log.size(), 1u);
}

TEST(UinputDevice, IsCreatedThroughLibevdevWhereTheKernelOffersUinput) {
    if (const auto usable = UinputEventSystem::probe(); !usable) {
        GTEST_SKIP() << usable.error().text() << ": " << UinputEventSystem::remedy(usable.error());
    }
    auto created = UinputEventSystem::create();
    ASSERT_TRUE(created) << created.error().text();
    auto& events = **created;
    EXPECT_EQ((*created)->deviceNode().rfind("/dev/input/event", 0), 0u) << events.deviceNode();
    const Point at = *events.pointerLocation();
    events.post(*events.mouseEvent(std::nullopt, MouseEventType::mouseMoved, {at.x + 3, at.y},
                                   MouseButton::left));
    EXPECT_TRUE(events.isTrusted()) << events.untrustedReason().value_or("");
    EXPECT_EQ(events.droppedEvents(), 0u);
}

} // namespace
} // namespace ravnix
