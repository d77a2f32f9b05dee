#pragma once
// One scripted gesture demonstration of the guide: finger tracks on the phone surface, the
// events the system would emit, the captions, and the scene that reacts on the drawn screen.
// Everything is evaluated at a time t, seconds since the demonstration started; the
// evaluations are pure, so the window can call them on every display frame.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ravnix {

// A position on the phone surface: fractions of its width and height, origin top-left, y down.
struct GuidePoint {
    double x = 0;
    double y = 0;
    bool operator==(const GuidePoint&) const = default;
};

// u² × (3 − 2u) with u clamped to 0 … 1: motion that eases in and out of every segment.
double smoothstep(double u) noexcept;

struct FingerTrack {
    struct Key {
        double time = 0; // seconds
        GuidePoint point;
        // The finger touches the surface from this key until the next one.
        bool down = false;
        bool operator==(const Key&) const = default;
    };

    // The trail is this many samples spread evenly over the last `trailSpan` seconds.
    static constexpr std::size_t trailSamples = 23;
    static constexpr double trailSpan = 0.9;

    std::vector<Key> keys; // ascending time

    // Where the finger touches at t, eased between keys. None before the first key, after the
    // last, while the finger is lifted, and for a track without keys or a NaN time.
    std::optional<GuidePoint> position(double t) const noexcept;

    // The finger's recent path, oldest first: the positions sampled over the last 0.9 s that
    // follow the most recent absence, up to and including t. Empty when the finger is lifted
    // at t.
    std::vector<GuidePoint> trail(double t) const;

    bool operator==(const FingerTrack&) const = default;
};

// An event the system would emit at `time`, marked where it happens on the surface.
struct Pulse {
    enum class Kind : std::uint8_t { click, press, release, deep, system };

    // A pulse ring is shown for this long after its time.
    static constexpr double visibleFor = 0.5;

    double time = 0;
    GuidePoint point;
    Kind kind = Kind::click;
    bool operator==(const Pulse&) const = default;
};

// The label shown beside a pulse ring, e.g. "tık" for a click.
std::string_view label(Pulse::Kind kind) noexcept;

// The caption that becomes current at `time`.
struct GuideStep {
    double time = 0;
    std::string text;
    bool operator==(const GuideStep&) const = default;
};

// A value scripted over time through stops, eased between neighbouring stops.
struct Ramp {
    struct Stop {
        double time = 0;
        double value = 0;
        bool operator==(const Stop&) const = default;
    };

    std::vector<Stop> stops; // ascending time; one stop is a constant

    static Ramp constant(double value) { return Ramp{{Stop{0, value}}}; }

    // The first value up to the first stop, the last value from the last stop on, eased in
    // between; 0 without stops. A NaN time yields the first value.
    double value(double t) const noexcept;

    bool operator==(const Ramp&) const = default;
};

// What the drawn piece of screen shows and how it moves.
struct GuideScene {
    enum class Kind : std::uint8_t { text, menu, lookup, card, desktop };
    // How a selection edge snaps to the text.
    enum class Unit : std::uint8_t { character, word, paragraph };
    // Where the pointer is drawn: by the cursor ramps, or riding on a selection edge.
    enum class PointerAnchor : std::uint8_t { scripted, selectionStart, selectionEnd };

    // A click flash ring is shown for this long after each flash time.
    static constexpr double flashVisibleFor = 0.45;

    Kind kind = Kind::text;
    Unit unit = Unit::character;
    PointerAnchor pointer = PointerAnchor::scripted;
    Ramp cursorX{};                          // fraction of the screen's width
    Ramp cursorY{};                          // fraction of the screen's height
    Ramp scroll = Ramp::constant(0);         // text lines scrolled up
    Ramp selectionStart = Ramp::constant(0); // text position: line + fraction of the width
    Ramp selectionEnd = Ramp::constant(0);   // text position
    Ramp popup = Ramp::constant(0);          // 0 … 1, context menu or dictionary panel
    Ramp cardX = Ramp::constant(0.22);       // fraction of the screen's width
    Ramp cardY = Ramp::constant(0.3);        // fraction of the screen's height
    Ramp zoom = Ramp::constant(1.0);         // scale of the text, 1 = 100 %
    Ramp reveal = Ramp::constant(0);         // 0 … 1, windows moved aside
    std::vector<double> flashes{};           // times of click flashes around the pointer

    bool operator==(const GuideScene&) const = default;
};

struct GestureDemo {
    std::string id; // unique in the catalog
    std::string group;
    std::string title;
    std::string gesture;
    double duration = 0; // seconds
    std::vector<FingerTrack> fingers;
    std::vector<Pulse> pulses;
    std::vector<GuideStep> steps; // ascending time
    GuideScene scene;
    std::optional<std::string> note;

    // Index of the last step whose time is at most t; 0 when none is (or there are no steps).
    std::size_t currentStep(double t) const noexcept;

    bool operator==(const GestureDemo&) const = default;
};

} // namespace ravnix
