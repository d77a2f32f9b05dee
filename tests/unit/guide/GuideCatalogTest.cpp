#include "guide/GuideCatalog.hpp"

#include <gtest/gtest.h>
#include <set>
#include <string>
#include <vector>

namespace ravnix {
namespace {

template <typename T, typename Time> bool ascending(const std::vector<T>& items, Time time) {
    for (std::size_t i = 1; i < items.size(); ++i) {
        if (!(time(items[i - 1]) < time(items[i]))) {
            return false;
        }
    }
    return true;
}

TEST(GestureCatalog, EveryDemonstrationIsWellFormed) {
    const auto timeOf = [](const auto& item) { return item.time; };
    std::set<std::string> ids;
    for (const GestureDemo& demo : gestureCatalog()) {
        SCOPED_TRACE(demo.id);
        EXPECT_TRUE(ids.insert(demo.id).second) << "duplicate id";
        for (const FingerTrack& finger : demo.fingers) {
            ASSERT_FALSE(finger.keys.empty());
            EXPECT_TRUE(ascending(finger.keys, timeOf));
            // Every finger has lifted before the loop holds its last frame.
            EXPECT_FALSE(finger.keys.back().down);
            EXPECT_LE(finger.keys.back().time, demo.duration);
        }
        EXPECT_EQ(demo.steps.at(0).time, 0);
        EXPECT_TRUE(ascending(demo.steps, timeOf));
        EXPECT_TRUE(ascending(demo.pulses, timeOf));
        const GuideScene& s = demo.scene;
        for (const Ramp* ramp :
             {&s.cursorX, &s.cursorY, &s.scroll, &s.selectionStart, &s.selectionEnd, &s.popup,
              &s.cardX, &s.cardY, &s.zoom, &s.reveal}) {
            EXPECT_FALSE(ramp->stops.empty());
            EXPECT_TRUE(ascending(ramp->stops, timeOf));
        }
    }
    EXPECT_EQ(ids.size(), 12u);
}

TEST(GestureCatalog, GroupsKeepTheirOrderOfFirstAppearance) {
    std::size_t total = 0;
    for (const std::string_view group : gestureGroups()) {
        for (const GestureDemo* demo : gestureDemosOfGroup(group)) {
            EXPECT_EQ(demo, &gestureCatalog()[total++]); // catalog order, group by group
        }
    }
    EXPECT_EQ(total, gestureCatalog().size());

    // A group that comes back later is listed once, at its first place, with all members.
    std::vector<GestureDemo> mixed(3);
    for (std::size_t i = 0; i < mixed.size(); ++i) {
        mixed[i].group = std::string(i == 1 ? "A" : "B");
    }
    EXPECT_EQ(gestureGroups(mixed), (std::vector<std::string_view>{"B", "A"}));
    EXPECT_EQ(gestureDemosOfGroup(mixed, "B"),
              (std::vector<const GestureDemo*>{&mixed[0], &mixed[2]}));
}

} // namespace
} // namespace ravnix
