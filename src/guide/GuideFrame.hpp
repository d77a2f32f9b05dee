#pragma once
// What the guide window draws at a playback time t, computed here so that the window only
// turns it into shapes: the phone surface (fingers, trails, pulse rings) and the piece of
// screen (pointer, text lines with their selection, popup, card, reveal, click flashes).

#include "guide/GestureDemo.hpp"
#include "guide/GuideText.hpp"

#include <cstddef>
#include <optional>
#include <vector>

namespace ravnix {

// A position on the drawn screen in points, origin top-left, y down.
struct ScreenPoint {
    double x = 0;
    double y = 0;
    bool operator==(const ScreenPoint&) const = default;
};

// Size of the drawn screen and of its text, in points.
struct ScreenArea {
    double width = 0;
    double height = 0;
    double padding = 0;    // inset of the text on every side
    double lineHeight = 0; // distance between two text lines
    bool operator==(const ScreenArea&) const = default;
};

// Where the pointer's tip is drawn: by the cursor ramps, or on the chosen selection edge
// (that line's middle, at the edge's fraction of the text width, moved up with the scroll).
ScreenPoint pointerPosition(const GuideScene& scene, double t, const ScreenArea& area) noexcept;

// An expanding ring that fades out: `progress` runs from 0 to 1 over its visible time.
struct GuideRing {
    double progress = 0;
    double diameter = 0; // points
    double opacity = 0;
    bool operator==(const GuideRing&) const = default;
};

// The ring of a pulse, visible while 0 ≤ t − pulse time ≤ 0.5 s; 40 growing to 102 points.
std::optional<GuideRing> pulseRing(const Pulse& pulse, double t) noexcept;
// The ring of a click flash, visible while 0 ≤ t − flash time < 0.45 s; 8 growing to 42 points.
std::optional<GuideRing> flashRing(double flashTime, double t) noexcept;

struct FingerFrame {
    std::optional<GuidePoint> position; // none: no disc is drawn
    std::vector<GuidePoint> trail;      // oldest first; fewer than two samples draw no line
    bool operator==(const FingerFrame&) const = default;
};

struct PulseFrame {
    Pulse pulse;
    GuideRing ring;
    bool operator==(const PulseFrame&) const = default;
};

struct SurfaceFrame {
    std::vector<FingerFrame> fingers; // one per track, in the demonstration's order
    std::vector<PulseFrame> pulses;   // only the visible ones
    bool operator==(const SurfaceFrame&) const = default;
};

SurfaceFrame surfaceFrame(const GestureDemo& demo, double t);

struct TextLineFrame {
    std::size_t line = 0; // index into the guide's text; its words are guideLineSpans(line)
    double y = 0;         // top of the line in points, before the zoom
    std::optional<WordSpan> selection;
    bool operator==(const TextLineFrame&) const = default;
};

// Top of a text line in points: padding + (line − scroll) × line height.
double textLineTop(std::size_t line, double scroll, const ScreenArea& area) noexcept;
// Points across the screen of a fraction of the text width.
double textX(double fraction, const ScreenArea& area) noexcept;

struct ScreenFrame {
    ScreenPoint pointer;
    double scroll = 0;
    double zoom = 1;   // applied to the whole text about its centre
    double popup = 0;  // opacity of the popup; its scale is 0.9 + 0.1 × popup
    ScreenPoint card;  // position of the dragged document
    double reveal = 0; // the window moves right by width × reveal × 1.15
    // The lines within one line height of the visible area; none for the desktop scene.
    std::vector<TextLineFrame> lines;
    std::vector<GuideRing> flashes; // only the visible ones, around the pointer
    bool operator==(const ScreenFrame&) const = default;
};

ScreenFrame screenFrame(const GuideScene& scene, double t, const ScreenArea& area);

} // namespace ravnix
