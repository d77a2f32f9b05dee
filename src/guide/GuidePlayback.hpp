#pragma once
// The guide's playback clock: which demonstration plays, since when and how fast. The caller
// passes the current time in (the window its frame time, tests any instant), so playback
// can be evaluated without waiting.

#include "guide/GestureDemo.hpp"

#include <chrono>
#include <string>
#include <string_view>

namespace ravnix {

// Seconds into a demonstration of `duration` seconds after `elapsed` seconds of wall-clock
// time: playback runs at 0.4 × speed when slow and loops over the demonstration plus a tail
// pause of 1.1 s of playback time, during which the last frame is held. Negative or NaN
// elapsed time counts as 0, a duration that is not positive as 0.
double playbackTime(double elapsed, bool isSlow, double duration) noexcept;

// Fill of the progress bar at playback time t: t ÷ duration, at most 1, so full during the
// tail pause; full for a demonstration without duration.
double playbackProgress(double t, double duration) noexcept;

class GuidePlayback {
  public:
    using Clock = std::chrono::steady_clock;

    static constexpr double tailPause = 1.1; // seconds of playback time
    static constexpr double slowSpeed = 0.4;

    // Plays the catalog's first demonstration at normal speed from `now`.
    explicit GuidePlayback(Clock::time_point now);

    // The selected id as given; it may match no demonstration.
    const std::string& selection() const noexcept { return selected; }
    bool isSlow() const noexcept { return slow; }
    // When the current loop started.
    Clock::time_point start() const noexcept { return startedAt; }
    // The selected demonstration, the catalog's first when the selection matches none.
    const GestureDemo& demo() const;

    // Selecting another demonstration or switching the speed starts playback over at `now`;
    // selecting the same one again or keeping the speed changes nothing.
    void select(std::string_view id, Clock::time_point now);
    void setSlow(bool isSlow, Clock::time_point now) noexcept;
    // The "Baştan" button: the current demonstration starts over at `now`.
    void restart(Clock::time_point now) noexcept { startedAt = now; }

    // Seconds into the selected demonstration at `now`.
    double time(Clock::time_point now) const;
    // Fill of the progress bar at `now`, 0 … 1.
    double progress(Clock::time_point now) const;

  private:
    std::string selected;
    Clock::time_point startedAt;
    bool slow = false;
};

} // namespace ravnix
