#include "input/TouchInterpreter.hpp"

#include "platform/events/RecordingEventSystem.hpp"
#include "support/DecimalCommaLocale.hpp"
#include "support/ManualQueue.hpp"
#include "support/MemoryPreferences.hpp"
#include "unit/platform/TemporaryFolder.hpp"

#include <chrono>
#include <cmath>
#include <gtest/gtest.h>

namespace ravnix {
namespace {

using Phase = FingerPhase;

struct F {
    std::uint8_t id;
    Phase phase;
    float x;
    float y;
};

std::vector<MouseEventType> types(const std::vector<InputEvent>& events) {
    std::vector<MouseEventType> found;
    for (const InputEvent& event : events) {
        found.push_back(event.mouseType);
    }
    return found;
}
using Types = std::vector<MouseEventType>;

class TouchInterpreterTest : public ::testing::Test {
  protected:
    void SetUp() override { build(ScrollSettings::standard); }
    void build(ScrollSettings scroll) {
        events = std::make_shared<RecordingEventSystem>();
        auto clockFunction = [this] { return now.load(); };
        injector = std::make_shared<PointerInjector>(events, PointerSettings::standard,
                                                     folder.path() / "tiklama.log", clockFunction);
        preferences = std::make_shared<MemoryPreferences>();
        auto made = TouchInterpreter::make(
            {injector, scroll, preferences, nullptr, folder.path() / "hareket.csv", clockFunction},
            [this](std::chrono::milliseconds delay, std::move_only_function<void()> task) {
                delayed.push_back({delay, std::move(task)});
            });
        ASSERT_TRUE(made) << made.error().text();
        interpreter = *made;
    }
    // One frame, 1/120 s of phone time after the previous one unless told otherwise.
    void frame(std::initializer_list<F> fingers, std::uint8_t flags = 0,
               std::uint8_t clickCount = 1, std::int64_t phoneStep = 8'333'333) {
        phoneTime += phoneStep;
        std::vector<FingerSample> samples;
        for (const F& f : fingers) {
            samples.push_back({f.id, f.phase, f.x, f.y, 5.0f});
        }
        const TouchHeader header{
            ++sequence,        phoneTime, 0.0f, static_cast<std::uint8_t>(samples.size()),
            TouchFlags{flags}, clickCount};
        interpreter->handle(header, samples);
    }
    void advance(std::chrono::milliseconds by) {
        now += static_cast<std::uint64_t>(by.count()) * 1'000'000ULL;
    }
    std::vector<std::string> clickLog() const {
        return test::readLines(folder.path() / "tiklama.log");
    }
    // Runs the delayed releases the frames asked for; answers their delays.
    std::vector<std::chrono::milliseconds> runDelayed() {
        std::vector<std::chrono::milliseconds> delays;
        for (auto& [delay, task] : std::exchange(delayed, {})) {
            delays.push_back(delay);
            task();
        }
        return delays;
    }

    test::TemporaryFolder folder;
    std::atomic<std::uint64_t> now{50'000'000'000ULL};
    std::uint64_t phoneTime = 1'000'000'000ULL;
    std::uint32_t sequence = 0;
    std::shared_ptr<RecordingEventSystem> events;
    std::shared_ptr<PointerInjector> injector;
    std::shared_ptr<MemoryPreferences> preferences;
    std::shared_ptr<TouchInterpreter> interpreter;
    std::vector<std::pair<std::chrono::milliseconds, std::move_only_function<void()>>> delayed;
};

TEST_F(TouchInterpreterTest, OneFingerSwipeMovesFromTheSecondFrameAndTracesTheContact) {
    frame({{1, Phase::began, 0.50f, 0.5f}});
    EXPECT_EQ(events->postedCount(), 0u);
    frame({{1, Phase::moved, 0.51f, 0.5f}});
    frame({{1, Phase::moved, 0.52f, 0.5f}});
    const auto moves = events->takeEvents();
    ASSERT_EQ(moves.size(), 2u);
    EXPECT_EQ(moves[0].mouseType, MouseEventType::mouseMoved);
    EXPECT_NEAR(injector->lastStep().speed, 472.5, 0.01); // the worked example's second step
    frame({{1, Phase::ended, 0.52f, 0.5f}});
    EXPECT_TRUE(events->events().empty());
    EXPECT_EQ(clickLog(),
              std::vector<std::string>{"temas sure=25ms hareket=0.0200(~2.8mm) parmak=1 tik=YOK"});
}

TEST_F(TouchInterpreterTest, FrameTimeBaselineAndCountChanges) {
    interpreter->diagnostics()->start(now);
    frame({{1, Phase::began, 0.5f, 0.5f}});
    frame({{1, Phase::moved, 0.51f, 0.5f}}, 0, 1, 0);                // phone time stood still
    frame({{1, Phase::stationary, 0.51f, 0.5f}}, 0, 1, 100'000'000); // pauses: no new baseline
    frame({{1, Phase::stationary, 0.51f, 0.5f}}, 0, 1, 100'000'000);
    frame({{1, Phase::moved, 0.52f, 0.5f}}, 0, 1, 50'000'000);
    // A second finger lands while the first moves: that frame only records positions.
    frame({{1, Phase::moved, 0.53f, 0.5f}, {2, Phase::began, 0.2f, 0.2f}});
    const auto entries = interpreter->diagnostics()->entries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_DOUBLE_EQ(entries[0].elapsed, 1.0 / 120);
    EXPECT_EQ(entries[1].deltaX, 0.0);           // stationary frames move by nothing
    EXPECT_NEAR(entries[3].elapsed, 0.25, 1e-9); // measured from the last moving frame
    EXPECT_EQ(entries[3].fingers, 1);
    EXPECT_GT(entries[3].elapsed, 0.1); // so the speed is not smoothed
    EXPECT_NEAR(entries[3].speed, std::hypot(0.01 * 900, 0) / 0.25, 0.1);
}

TEST_F(TouchInterpreterTest, CompletedClicksAreReleased55msLater) {
    // Left: with the phone's count, on the release too.
    const std::uint8_t click = (TouchFlags::primaryDown | TouchFlags::primaryUp).rawValue;
    frame({{1, Phase::began, 0.5f, 0.5f}}, click, 2);
    EXPECT_FALSE(interpreter->isButtonDown());
    ASSERT_EQ(events->postedCount(), 1u); // the up waits
    EXPECT_EQ(runDelayed(), std::vector{std::chrono::milliseconds(55)});
    auto posted = events->takeEvents();
    EXPECT_EQ(types(posted), (Types{MouseEventType::leftMouseDown, MouseEventType::leftMouseUp}));
    for (const auto& event : posted) {
        EXPECT_EQ(event.integerField(EventField::mouseClickState), 2);
    }
    frame({{1, Phase::ended, 0.5f, 0.5f}}, click, 1); // the lift carries flags too
    EXPECT_EQ(clickLog().back(), "temas sure=8ms hareket=0.0000(~0.0mm) parmak=1 tik=var");
    runDelayed();
    events->takeEvents();

    // Right: always a single click, and the left button's state is left alone.
    const std::uint8_t rightClick = (TouchFlags::secondaryDown | TouchFlags::secondaryUp).rawValue;
    frame({{1, Phase::began, 0.5f, 0.5f}}, TouchFlags::primaryDown.rawValue);
    frame({{1, Phase::moved, 0.5f, 0.5f}, {2, Phase::began, 0.6f, 0.5f}}, rightClick, 2);
    EXPECT_TRUE(interpreter->isButtonDown());
    ASSERT_EQ(events->events().size(), 2u); // the left press and the right one
    EXPECT_EQ(runDelayed(), std::vector{std::chrono::milliseconds(55)});
    posted = events->events();
    EXPECT_EQ(types(posted), (Types{MouseEventType::leftMouseDown, MouseEventType::rightMouseDown,
                                    MouseEventType::rightMouseUp}));
    EXPECT_EQ(posted[2].integerField(EventField::mouseClickState), 1);
}

TEST_F(TouchInterpreterTest, PressDragReleaseAndARefusedSecondPress) {
    frame({{1, Phase::began, 0.5f, 0.5f}}, TouchFlags::primaryDown.rawValue, 3);
    EXPECT_TRUE(interpreter->isButtonDown());
    frame({{1, Phase::moved, 0.51f, 0.5f}});
    frame({{1, Phase::moved, 0.52f, 0.5f}}, TouchFlags::primaryDown.rawValue);
    EXPECT_TRUE(interpreter->isButtonDown());
    frame({{1, Phase::moved, 0.52f, 0.5f}}, TouchFlags::primaryUp.rawValue);
    EXPECT_FALSE(interpreter->isButtonDown());
    const auto posted = events->takeEvents();
    EXPECT_EQ(types(posted),
              (Types{MouseEventType::leftMouseDown, MouseEventType::leftMouseDragged,
                     MouseEventType::leftMouseDragged, MouseEventType::leftMouseUp}));
    EXPECT_EQ(posted[0].integerField(EventField::mouseClickState), 1); // a press alone counts 1
    EXPECT_EQ(posted[3].integerField(EventField::mouseClickState), 1);
}

TEST_F(TouchInterpreterTest, SafetyReleaseEndsAScrollAndOnlyActsWhenHeld) {
    interpreter->safetyRelease();
    EXPECT_EQ(events->postedCount(), 0u);

    frame({{1, Phase::began, 0.5f, 0.5f}}, TouchFlags::primaryDown.rawValue);
    frame({{1, Phase::moved, 0.5f, 0.5f}, {2, Phase::began, 0.6f, 0.5f}});
    advance(std::chrono::milliseconds(100));
    frame({{1, Phase::moved, 0.5f, 0.51f}, {2, Phase::moved, 0.6f, 0.51f}});
    ASSERT_TRUE(interpreter->isScrolling());
    events->takeEvents();
    interpreter->safetyRelease();
    const auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[0].mouseType, MouseEventType::leftMouseUp);
    EXPECT_EQ(posted[1].integerField(EventField::scrollPhase), 4);
    EXPECT_FALSE(interpreter->isButtonDown());
    EXPECT_FALSE(interpreter->isScrolling());
}

// Two fingers moving down together, `perFrame` units each frame, after the settle time.
class TwoFingerTest : public TouchInterpreterTest {
  protected:
    struct Posted {
        ScrollPhase phase;
        double x;
        double y;
        std::uint64_t flags;
    };
    // What the interpreter asked for, recovered from the posted whole points and the
    // remainders the injector carried.
    std::vector<Posted> scrolls;
    PointerInjector::Residuals before;
    void step(std::initializer_list<F> fingers, std::uint8_t flags = 0) {
        const std::size_t count = events->postedCount();
        frame(fingers, flags);
        const auto posted = events->events();
        for (std::size_t i = count; i < posted.size(); ++i) {
            const auto& e = posted[i];
            if (e.kind != InputEvent::Kind::scrollWheel) {
                continue;
            }
            const auto after = injector->residuals();
            const auto phase = *e.integerField(EventField::scrollPhase);
            const bool began = phase == 1;
            scrolls.push_back({began        ? ScrollPhase::began
                               : phase == 2 ? ScrollPhase::changed
                                            : ScrollPhase::ended,
                               e.wheel2 + after.scrollX - (began ? 0 : before.scrollX),
                               e.wheel1 + after.scrollY - (began ? 0 : before.scrollY), e.flags});
            before = after;
        }
    }
    void pair(float x1, float x2, float y) {
        step({{1, Phase::moved, x1, y}, {2, Phase::moved, x2, y}});
    }
    void land() {
        step({{1, Phase::began, 0.4f, 0.5f}});
        step({{1, Phase::moved, 0.4f, 0.5f}, {2, Phase::began, 0.6f, 0.5f}});
    }
};

TEST_F(TwoFingerTest, ScrollAfterTheSettleTimeWithDirectionAndDragScale) {
    land();
    pair(0.4f, 0.6f, 0.51f); // within 80 ms: lost
    EXPECT_TRUE(scrolls.empty());
    advance(std::chrono::milliseconds(81));
    pair(0.4f, 0.6f, 0.52f);
    pair(0.4f, 0.6f, 0.53f);
    ASSERT_EQ(scrolls.size(), 2u);
    EXPECT_EQ(scrolls[0].phase, ScrollPhase::began);
    EXPECT_NEAR(scrolls[0].y, 14.0, 1e-3);
    EXPECT_EQ(scrolls[0].x, 0.0);
    EXPECT_EQ(scrolls[1].phase, ScrollPhase::changed);
    EXPECT_NEAR(scrolls[1].y, 14.0, 1e-3);

    build(ScrollSettings{0.95, 0.5, false});
    scrolls.clear();
    land();
    advance(std::chrono::milliseconds(81));
    pair(0.4f, 0.6f, 0.51f);
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_NEAR(scrolls[0].y, -14.0, 1e-3);

    build(ScrollSettings::standard);
    scrolls.clear();
    step({{1, Phase::began, 0.4f, 0.5f}}, TouchFlags::primaryDown.rawValue);
    step({{1, Phase::moved, 0.4f, 0.5f}, {2, Phase::began, 0.6f, 0.5f}});
    advance(std::chrono::milliseconds(81));
    pair(0.4f, 0.6f, 0.51f);
    ASSERT_EQ(scrolls.size(), 1u);
    EXPECT_NEAR(scrolls[0].y, 6.3, 1e-3);
}

TEST_F(TwoFingerTest, TinyMovementsNeverStartAScroll) {
    land();
    advance(std::chrono::milliseconds(81));
    float y = 0.5f;
    for (int i = 0; i < 20; ++i) {
        y += 0.0003f;
        pair(0.4f, 0.6f, y);
    }
    EXPECT_TRUE(scrolls.empty());
    step({{1, Phase::moved, 0.4f, y}});
    EXPECT_EQ(clickLog().back().substr(0, 30), "iki-parmak mod=kaydir fark=0.0");
    EXPECT_NE(clickLog().back().find("kaydirma=8pt"), std::string::npos) << clickLog().back();
}

TEST_F(TwoFingerTest, SpreadDecidesZoomStrictlyAndZoomPostsCommandScroll) {
    land();
    advance(std::chrono::milliseconds(81));
    pair(0.35f, 0.65f, 0.5f);     // start spread 0.30
    pair(0.3155f, 0.6845f, 0.5f); // 0.369: stays scroll
    EXPECT_EQ(interpreter->twoFingerMode(), TwoFingerMode::scroll);
    pair(0.3145f, 0.6855f, 0.5f); // 0.371: zoom
    EXPECT_EQ(interpreter->twoFingerMode(), TwoFingerMode::zoom);
    EXPECT_TRUE(scrolls.empty()); // zoom output starts with the next frame
    pair(0.3095f, 0.6905f, 0.5f); // +0.01
    pair(0.3045f, 0.6955f, 0.5f); // +0.01
    pair(0.3095f, 0.6905f, 0.5f); // -0.01
    ASSERT_EQ(scrolls.size(), 3u);
    EXPECT_EQ(scrolls[0].phase, ScrollPhase::began);
    EXPECT_NEAR(scrolls[0].y, 5.0, 1e-3);
    EXPECT_NEAR(scrolls[1].y, 5.0, 1e-3);
    EXPECT_NEAR(scrolls[2].y, -5.0, 1e-3);
    for (const auto& s : scrolls) {
        EXPECT_EQ(s.flags, EventFlags::command);
    }
    // Lifting one finger: the summary line, then an end without modifiers, and no motion.
    step({{1, Phase::moved, 0.3f, 0.5f}});
    ASSERT_EQ(scrolls.size(), 4u);
    EXPECT_EQ(scrolls[3].phase, ScrollPhase::ended);
    EXPECT_EQ(scrolls[3].flags, 0u);
    EXPECT_EQ(clickLog().back(),
              "iki-parmak mod=yakinlastir fark=0.0710 ortak=0.0000 zoom=5pt kaydirma=0pt");
    EXPECT_EQ(events->events().back().kind, InputEvent::Kind::scrollWheel);
}

TEST_F(TwoFingerTest, TravelRaisesTheBarAndAScrollEndsBeforeTheZoom) {
    land();
    advance(std::chrono::milliseconds(81));
    pair(0.35f, 0.65f, 0.5f);
    pair(0.35f, 0.65f, 0.535f);
    pair(0.35f, 0.65f, 0.57f); // travel 0.07, scrolling
    ASSERT_TRUE(interpreter->isScrolling());
    pair(0.32f, 0.72f, 0.57f); // spread 0.40: 0.105 is not below 0.10
    EXPECT_EQ(interpreter->twoFingerMode(), TwoFingerMode::scroll);
    pair(0.25f, 0.75f, 0.57f); // spread 0.50 now wins
    EXPECT_EQ(interpreter->twoFingerMode(), TwoFingerMode::zoom);
    ASSERT_FALSE(scrolls.empty());
    EXPECT_EQ(scrolls.back().phase, ScrollPhase::ended);
    EXPECT_FALSE(interpreter->isScrolling());
}

TEST_F(TouchInterpreterTest, ThreeFingersDragOnlyWhileTheButtonIsHeld) {
    interpreter->diagnostics()->start(now);
    const std::initializer_list<F> start{{1, Phase::began, 0.3f, 0.5f},
                                         {2, Phase::began, 0.5f, 0.5f},
                                         {3, Phase::began, 0.7f, 0.5f}};
    const std::initializer_list<F> moved{{1, Phase::moved, 0.31f, 0.5f},
                                         {2, Phase::moved, 0.51f, 0.5f},
                                         {3, Phase::moved, 0.71f, 0.5f}};
    frame(start);
    frame(moved);
    EXPECT_EQ(events->postedCount(), 0u);
    frame(start, TouchFlags::primaryDown.rawValue); // pressed, and this frame already drags back
    frame(moved);
    EXPECT_EQ(types(events->events()),
              (Types{MouseEventType::leftMouseDown, MouseEventType::leftMouseDragged,
                     MouseEventType::leftMouseDragged}));
    ASSERT_EQ(interpreter->diagnostics()->count(), 2u);
    EXPECT_EQ(interpreter->diagnostics()->entries()[1].fingers, 3);
}

TEST_F(TouchInterpreterTest, GestureKeysInOrderAndTheHotKeySettings) {
    // Look up (control-command-D), then show desktop (F11); each chord's flags on both events.
    const std::uint8_t both = (TouchFlags::lookUp | TouchFlags::showDesktop).rawValue;
    frame({}, both);
    const auto posted = events->takeEvents();
    ASSERT_EQ(posted.size(), 4u);
    for (std::size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].keyDown, i % 2 == 0) << i;
        EXPECT_EQ(posted[i].keyCode, i < 2 ? 2 : 103) << i;
        EXPECT_EQ(posted[i].flags, i < 2 ? 0x140000u : 0x800000u) << i;
    }

    using D = PreferenceValue::Dictionary;
    using A = PreferenceValue::Array;
    auto bind = [&](PreferenceValue entry) {
        preferences->setDomainValue("com.apple.symbolichotkeys", "AppleSymbolicHotKeys",
                                    D{{"36", std::move(entry)}});
        return showDesktopShortcut(*preferences);
    };
    auto params = [](double key, double modifiers) {
        return D{{"enabled", true}, {"value", D{{"parameters", A{65535.0, key, modifiers}}}}};
    };
    EXPECT_EQ(bind(params(2, 0x100000 | 0x1)), (KeyChord{2, 0x100000})); // bits outside the mask go
    D disabled = params(2, 0x100000);
    disabled.insert_or_assign("enabled", PreferenceValue(false));
    EXPECT_EQ(bind(disabled), (KeyChord{103, 0x800000}));
    D noEnabled = params(4, 0x40000);
    noEnabled.erase("enabled");
    EXPECT_EQ(bind(noEnabled), (KeyChord{4, 0x40000}));
    EXPECT_EQ(bind(D{{"value", D{{"parameters", A{65535.0, 5.0}}}}}), (KeyChord{103, 0x800000}));
    EXPECT_EQ(bind(D{{"value", D{{"parameters", A{65535.0, "x", 1.0}}}}}),
              (KeyChord{103, 0x800000}));
    EXPECT_EQ(bind("not a dictionary"), (KeyChord{103, 0x800000}));
    // The lookup is made afresh for every request.
    bind(params(9, 0x20000));
    frame({}, TouchFlags::showDesktop.rawValue);
    EXPECT_EQ(events->takeEvents().at(0).keyCode, 9);
}

TEST_F(TouchInterpreterTest, AFingerListedTwiceKeepsOnePosition) {
    frame({{1, Phase::began, 0.5f, 0.5f}, {1, Phase::began, 0.9f, 0.9f}});
    frame({{1, Phase::moved, 0.51f, 0.5f}, {1, Phase::moved, 0.91f, 0.9f}});
    // One finger, not two: pointer motion, not a scroll.
    const auto posted = events->events();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].kind, InputEvent::Kind::mouse);
}

TEST(DiagnosticLog, RecordsOnlyWhileOnAndKeepsTheNewest60000) {
    auto log = DiagnosticLog::make({}, nullptr);
    log->record({});
    EXPECT_EQ(log->count(), 0u);
    log->start(1000);
    for (std::uint32_t i = 0; i <= DiagnosticLog::capacity; ++i) {
        DiagnosticLog::Entry entry;
        entry.sequence = i;
        log->record(entry);
    }
    const auto entries = log->entries();
    ASSERT_EQ(entries.size(), DiagnosticLog::capacity);
    EXPECT_EQ(entries.front().sequence, 1u);
    EXPECT_EQ(entries.back().sequence, DiagnosticLog::capacity);
    log->start(2000); // a restart clears the previous recording
    EXPECT_EQ(log->count(), 0u);
    EXPECT_EQ(log->state().startedAt, 2000u);
}

const DiagnosticLog::Entry kExample{12.5,     7,     1,     0,    false, 0.001, -0.002,
                                    0.008333, 270.0, 0.696, 0.63, -1.25, false};
const std::string kExampleCsv =
    std::string(DiagnosticLog::header) +
    "12.50,7,1,0,wifi,0.001000,-0.002000,8.333,270.0,0.696,0.63,-1.25,0\n";

TEST(DiagnosticLog, CsvLinesAndTheFileWrittenAtStop) {
    EXPECT_EQ(DiagnosticLog::csv({kExample}), kExampleCsv);
    DiagnosticLog::Entry peer = kExample;
    peer.isPeerRoute = true;
    peer.clamped = true;
    EXPECT_NE(DiagnosticLog::csv({peer}).find(",airdrop,"), std::string::npos);
    EXPECT_EQ(DiagnosticLog::csv({peer}).back(), '\n');

    const test::TemporaryFolder folder;
    const std::filesystem::path file = folder.path() / "Logs" / "hareket.csv";
    auto queue = std::make_shared<test::ManualQueue>();
    auto log = DiagnosticLog::make(file, queue);
    log->start(0);
    log->stop();
    EXPECT_EQ(test::readText(file), DiagnosticLog::header);

    // While recording, the main queue's timer rewrites the file every 4 s.
    log->start(0);
    log->record(kExample);
    queue->advance(std::chrono::milliseconds(3999));
    EXPECT_EQ(test::readText(file), DiagnosticLog::header);
    queue->advance(std::chrono::milliseconds(1));
    EXPECT_EQ(test::readText(file), kExampleCsv);
    log->stop();

    const test::DecimalCommaLocale turkish;
    if (!turkish.isActive()) {
        GTEST_SKIP() << "no Turkish locale: not installed and localedef could not build one";
    }
    EXPECT_EQ(DiagnosticLog::csv({kExample}), kExampleCsv);
}

} // namespace
} // namespace ravnix
