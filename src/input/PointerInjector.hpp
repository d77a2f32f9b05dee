#pragma once
// The single object that turns interpreted touch input into system input events: pointer
// motion with acceleration, the jump limit and display clamping; left and right buttons
// with the phone's click count; key chords; continuous scrolling with carried remainders;
// and the click log. Every operation, and the model's writes of `settings` and
// `pointsPerUnit`, run under one lock (`injectorLock`), so the receive thread, the peer
// queue and the release queue can share one injector.

#include "domain/PointerSettings.hpp"
#include "platform/events/EventSystem.hpp"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace ravnix {

enum class ScrollPhase : std::uint8_t { began, changed, ended };

// The nearest point on any display to a global point (unchanged when it is on one, or when
// there are no displays). Ties go to the display listed first.
Point clampToScreens(Point point, const ScreenList& screens) noexcept;

class PointerInjector {
  public:
    using Clock = std::function<std::uint64_t()>;

    // `clickLog` is the click log file (its folder is created on first use); the clock is
    // the monotonic one except in tests.
    PointerInjector(std::shared_ptr<EventSystem> events, PointerSettings settings,
                    std::filesystem::path clickLog, Clock clock = {});
    PointerInjector(const PointerInjector&) = delete;
    PointerInjector& operator=(const PointerInjector&) = delete;

    // Motion of the touch centroid in touch units since the previous frame; elapsed seconds.
    void move(double dx, double dy, double elapsed);
    // Buttons act at the current pointer location; nothing happens when it cannot be read.
    void press(MouseButton button, std::uint8_t clickCount);
    void release(MouseButton button);
    void release(MouseButton button, std::int64_t clickCount);
    // The local multi-click detector (1, 2 or 3), kept for the click log's comparison.
    std::int64_t localClickState(double x, double y);
    void postKey(std::uint16_t keyCode, std::uint64_t flags);
    // dx and dy in points; flags 0 for none.
    void scroll(ScrollPhase phase, std::uint64_t flags, double dx, double dy);
    // One line to the click log; lines from any thread never interleave.
    void appendClickLog(const std::string& line);

    // The model's speed controls.
    void setSettings(const PointerSettings& settings);
    void setPointsPerUnit(double pointsPerUnit);
    PointerSettings settings() const;
    double pointsPerUnit() const;

    // Written by the interpreter for the click log's context.
    void setFrameContext(std::uint8_t flags, int fingers);

    // Read anytime (the link server copies it into its statistics).
    std::uint64_t clampedJumps() const noexcept {
        return clampedJumps_.load(std::memory_order_relaxed);
    }
    bool isLeftDown() const noexcept { return isLeftDown_.load(std::memory_order_relaxed); }

    // The most recent motion step, for the diagnostic recorder.
    struct LastStep {
        double speed = 0;
        double gain = 0;
        double moveX = 0;
        double moveY = 0;
        bool clamped = false;
        bool operator==(const LastStep&) const = default;
    };
    LastStep lastStep() const;

    struct Residuals {
        double scrollX = 0, scrollY = 0, lineX = 0, lineY = 0;
        bool operator==(const Residuals&) const = default;
    };
    Residuals residuals() const;
    std::int64_t clickState() const;
    std::int64_t lastLocalState() const;
    double doubleClickWindow() const noexcept { return doubleClickWindow_; }

    static constexpr double maximumJump = 120.0;
    static constexpr double speedSmoothing = 0.25;
    static constexpr double multiClickRadius = 28.0;
    static constexpr double pointsPerLine = 16.0;

  private:
    std::int64_t localClickStateLocked(double x, double y);
    void postButtonLocked(MouseButton button, MouseEventType type, std::int64_t clickCount,
                          double x, double y);
    void releaseLocked(MouseButton button, std::optional<std::int64_t> clickCount);
    void appendClickLogLocked(const std::string& line);

    const std::shared_ptr<EventSystem> events;
    const std::filesystem::path clickLogFile;
    const Clock clock;

    mutable std::mutex injectorLock; // guards every field below
    PointerSettings settings_;
    std::optional<EventSource> source;
    double pointsPerUnit_ = 900.0;
    std::atomic<std::uint64_t> clampedJumps_{0};
    double smoothedSpeed = 0;
    LastStep last;

    std::atomic<bool> isLeftDown_{false};
    std::uint64_t lastClickAt = 0;
    Point lastClickLocation;
    std::int64_t clickState_ = 1;
    double doubleClickWindow_ = 0.5;
    double lastElapsed = 0;
    double lastMoved = 0;
    std::uint64_t lastLoggedAt = 0;
    std::uint8_t lastFlags = 0;
    int lastFingers = 0;
    std::int64_t lastLocalState_ = 1;
    Residuals residuals_;
    bool clickLogFolderTried = false;
};

} // namespace ravnix
