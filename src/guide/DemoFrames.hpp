#pragma once
// A guide demonstration played as the phone would capture it: the finger tracks sampled at a
// frame rate into touch samples with phases, and the pulses turned into the button and gesture
// flags the phone classifies itself. Pure: the same demonstration and options always give the
// same script; sequence numbers and clock readings are the sender's business.

#include "guide/GestureDemo.hpp"
#include "packet/PacketFormat.hpp"

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

namespace ravnix {

struct DemoFrame {
    double time = 0; // seconds since the script's start
    TouchFlags flags;
    // The click count of a button event in this frame (the number of a click in its series);
    // 1 in every other frame.
    std::uint8_t clickCount = 1;
    std::vector<FingerSample> fingers; // at most PacketFormat::maximumFingers, in track order
    bool operator==(const DemoFrame&) const = default;
};

struct DemoFrameOptions {
    double rate = 120;  // frames per second
    int repeat = 1;     // plays in a row, each starting where the previous one's duration ends
    double scale = 1.0; // multiplies the surface's size in touch units, so every distance
};

// The phone's surface in touch units. The click trace reckons one unit as 140 mm, and a
// phone screen is about 65 × 140 mm.
inline constexpr double surfaceWidthUnits = 0.46;
inline constexpr double surfaceHeightUnits = 1.0;
// Reported for every contact; the desktop does not read it.
inline constexpr float fingerRadiusUnits = 0.05F;
// How the phone groups clicks into a series (double and triple clicks): the next tap within
// this time of the previous click and this close to it.
inline constexpr double clickSeriesSeconds = 0.45;
inline constexpr double clickSeriesDistanceUnits = 6.0 / 140.0;
// Highest rate and longest script accepted; together they keep a script below 150,000 frames.
inline constexpr double maximumRate = 480;
inline constexpr int maximumRepeat = 50;

// The frames at times k / rate from 0 up to the demonstration's duration, per repeat. A finger
// that touches is `began`, then `moved` or `stationary`, and `ended` (at its last position) in
// the first frame where it no longer touches. Each pulse goes into the first frame at or after
// its time: click → primaryDown|primaryUp with the number in its series, or
// secondaryDown|secondaryUp when two or more fingers were down in the contact; press →
// primaryDown; release → primaryUp; deep → lookUp; system → showDesktop. Fails with a
// one-line text for a rate, repeat or scale outside its range, or more than five fingers.
std::expected<std::vector<DemoFrame>, std::string> demoFrames(const GestureDemo& demo,
                                                              const DemoFrameOptions& options);

} // namespace ravnix
