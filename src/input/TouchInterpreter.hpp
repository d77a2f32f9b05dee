#pragma once
// Turns accepted touch frames into pointer actions. The phone classifies taps itself and
// sends button flags with a click count; the interpreter maps them onto presses and
// releases, derives one-finger motion, two-finger scrolling and zooming and three-finger
// dragging from the finger positions, traces every contact in the click log, posts the
// gesture keys, and feeds the motion recorder.
//
// The link server serialises handle(), setPeerRoute() and safetyRelease(), so the fields
// below need no lock of their own; delayed releases run on the release queue and touch
// only the injector.

#include "domain/ScrollSettings.hpp"
#include "input/DiagnosticLog.hpp"
#include "input/PointerInjector.hpp"
#include "link/TouchFrameConsumer.hpp"
#include "platform/DispatchQueue.hpp"
#include "platform/PlatformError.hpp"
#include "platform/Preferences.hpp"

#include <array>
#include <atomic>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace ravnix {

enum class TwoFingerMode : std::uint8_t { scroll, zoom };

namespace touch {
struct Vec2 {
    double x = 0;
    double y = 0;
};
struct Finger {
    std::uint8_t id = 0;
    Vec2 position;
    FingerPhase phase = FingerPhase::began;
};
// At most five fingers keyed by id, without the heap.
struct FingerMap {
    std::array<std::pair<std::uint8_t, Vec2>, PacketFormat::maximumFingers> items{};
    std::size_t count = 0;
    const Vec2* find(std::uint8_t id) const noexcept;
    void set(std::uint8_t id, Vec2 position) noexcept;
    void clear() noexcept { count = 0; }
};
// The frame's active fingers in packet order.
struct Active {
    std::array<Finger, PacketFormat::maximumFingers> fingers{};
    std::size_t count = 0;
};
} // namespace touch

struct KeyChord {
    std::uint16_t keyCode = 0;
    std::uint64_t modifiers = 0;
    bool operator==(const KeyChord&) const = default;
};

// The show-desktop shortcut from the symbolic hot-key settings (entry "36"), or F11 with Fn
// at the first step that fails. Read afresh on every call.
KeyChord showDesktopShortcut(const Preferences& preferences);

class TouchInterpreter : public TouchFrameConsumer {
  public:
    using Clock = std::function<std::uint64_t()>;
    // Runs `task` once, `delay` from now, never inside the call itself.
    using Scheduler =
        std::function<void(std::chrono::milliseconds delay, std::move_only_function<void()> task)>;

    struct Dependencies {
        std::shared_ptr<PointerInjector> injector;
        ScrollSettings scroll = ScrollSettings::standard;
        std::shared_ptr<Preferences> preferences; // the symbolic hot keys
        std::shared_ptr<SerialQueue> mainQueue;   // the recorder's flush timer
        std::filesystem::path motionLog;          // hareket.csv
        Clock clock;                              // monotonic ns; the real one when empty
    };

    // Creates the recorder and, without a release scheduler (tests pass a hand-driven one),
    // the release queue "com.belvor.ravnix.release" that runs the delayed releases.
    static std::expected<std::shared_ptr<TouchInterpreter>, PlatformError>
    make(Dependencies dependencies, Scheduler releaseScheduler = {});
    ~TouchInterpreter() override;

    void handle(const TouchHeader& header, std::span<const FingerSample> fingers) override;
    void setPeerRoute(bool isPeerRoute) override { isPeerRoute_ = isPeerRoute; }
    bool isButtonDown() const override { return isButtonDown_.load(std::memory_order_relaxed); }
    void safetyRelease() override;
    std::uint64_t clampedJumps() const override { return injector->clampedJumps(); }

    const std::shared_ptr<DiagnosticLog>& diagnostics() const noexcept { return diagnostics_; }
    bool isScrolling() const noexcept { return isScrolling_; }
    TwoFingerMode twoFingerMode() const noexcept { return twoFingerMode_; }

    static constexpr double scrollPointsPerUnit = 1400.0;
    static constexpr double dragScrollScale = 0.45;
    static constexpr double modeThreshold = 0.07;
    static constexpr double zoomDominance = 1.5;
    static constexpr double zoomPointsPerUnit = 500.0;
    static constexpr std::uint64_t settleNanos = 80'000'000;
    static constexpr auto releaseDelay = std::chrono::milliseconds(55);

  private:
    using Vec2 = touch::Vec2;
    using Finger = touch::Finger;
    using FingerMap = touch::FingerMap;
    using Active = touch::Active;

    TouchInterpreter(Dependencies dependencies, std::unique_ptr<DispatchQueue> releaseQueue,
                     Scheduler releaseScheduler);

    void applyFlags(std::uint8_t flags, int fingerCount, std::uint8_t clickCount);
    void releaseLater(MouseButton button, std::int64_t clickCount);
    void applyGestureKeys(std::uint8_t flags);
    void trackContact(const Active& active, std::uint64_t t);
    Vec2 centroidDelta(const Active& active) const noexcept;
    void recordStep(const TouchHeader& header, int fingers, Vec2 delta, double elapsed);
    void twoFingerStep(const Active& active, Vec2 delta);
    void decideMode(const Active& active);
    void scrollBy(Vec2 delta);
    void zoomStep(const Active& active);
    void fingerCountChanged(std::size_t n);
    static double spread(const Active& active) noexcept;

    const std::shared_ptr<PointerInjector> injector;
    const ScrollSettings scroll;
    const std::shared_ptr<Preferences> preferences;
    const Clock clock;
    std::shared_ptr<DiagnosticLog> diagnostics_;
    std::unique_ptr<DispatchQueue> releaseQueue; // without a release scheduler
    const Scheduler releaseScheduler;

    FingerMap previous;
    std::optional<std::uint64_t> previousTimeNanos;
    std::size_t activeCount = 0;
    bool isScrolling_ = false;
    TwoFingerMode twoFingerMode_ = TwoFingerMode::scroll;
    std::optional<double> startSpread;
    std::optional<double> previousSpread;
    Vec2 centroidTravel;
    std::atomic<bool> isButtonDown_{false};
    bool isPeerRoute_ = false;
    std::optional<std::uint64_t> contactStartNanos;
    std::size_t contactPeakFingers = 0;
    bool contactProducedClick = false;
    FingerMap contactStarts;
    double contactMaxMove = 0;
    double decidedDifferential = 0;
    double decidedCommon = 0;
    double emittedZoomPoints = 0;
    double emittedScrollPoints = 0;
    std::uint64_t twoFingerSince = 0;
};

} // namespace ravnix
