#include "guide/DemoFrames.hpp"

#include <algorithm>
#include <cmath>
#include <optional>

namespace ravnix {
namespace {

// Frame times are k / rate; a pulse scripted at a frame's time must land in that frame even
// when the division rounds the other way.
constexpr double kTimeSlack = 1e-9;
constexpr double kMaximumScale = 10;

struct Contact {
    bool isDown = false;
    FingerSample last;
};

// Groups clicks into series across the whole script, repeats included.
class ClickSeries {
  public:
    std::uint8_t click(double time, double x, double y) {
        const bool continues = last && time - last->time <= clickSeriesSeconds &&
                               std::hypot(x - last->x, y - last->y) <= clickSeriesDistanceUnits;
        count = continues ? std::min(count + 1, 255) : 1;
        last = Point{time, x, y};
        return static_cast<std::uint8_t>(count);
    }
    // A press starts a drag, never the next click of a series.
    void end() { last.reset(); }

  private:
    struct Point {
        double time;
        double x;
        double y;
    };
    std::optional<Point> last;
    int count = 0;
};

} // namespace

std::expected<std::vector<DemoFrame>, std::string> demoFrames(const GestureDemo& demo,
                                                              const DemoFrameOptions& options) {
    if (!std::isfinite(options.rate) || options.rate <= 0 || options.rate > maximumRate) {
        return std::unexpected("kare hızı 0'dan büyük ve en çok 480 Hz olmalı");
    }
    if (options.repeat < 1 || options.repeat > maximumRepeat) {
        return std::unexpected(std::string("tekrar sayısı 1 ile 50 arasında olmalı"));
    }
    if (!std::isfinite(options.scale) || options.scale <= 0 || options.scale > kMaximumScale) {
        return std::unexpected(std::string("ölçek 0'dan büyük ve en çok 10 olmalı"));
    }
    if (demo.fingers.size() > static_cast<std::size_t>(PacketFormat::maximumFingers)) {
        return std::unexpected("gösterimde beşten çok parmak var: " + demo.id);
    }
    if (!std::isfinite(demo.duration) || demo.duration < 0) {
        return std::unexpected("gösterimin süresi geçersiz: " + demo.id);
    }

    const double width = surfaceWidthUnits * options.scale;
    const double height = surfaceHeightUnits * options.scale;
    const auto framesPerPlay =
        static_cast<std::size_t>(std::floor(demo.duration * options.rate + kTimeSlack)) + 1;

    std::vector<Pulse> pulses = demo.pulses;
    std::stable_sort(pulses.begin(), pulses.end(),
                     [](const Pulse& a, const Pulse& b) { return a.time < b.time; });

    std::vector<DemoFrame> frames;
    frames.reserve(framesPerPlay * static_cast<std::size_t>(options.repeat));
    std::vector<Contact> contacts(demo.fingers.size());
    ClickSeries series;
    std::size_t contactPeak = 0; // most fingers on the surface since it was last empty

    const auto applyPulse = [&](DemoFrame& frame, const Pulse& pulse, double start) {
        switch (pulse.kind) {
        case Pulse::Kind::click:
            if (contactPeak >= 2) {
                frame.flags |= TouchFlags::secondaryDown | TouchFlags::secondaryUp;
                series.end();
            } else {
                frame.flags |= TouchFlags::primaryDown | TouchFlags::primaryUp;
                frame.clickCount = std::max(frame.clickCount,
                                            series.click(start + pulse.time, pulse.point.x * width,
                                                         pulse.point.y * height));
            }
            break;
        case Pulse::Kind::press:
            frame.flags |= TouchFlags::primaryDown;
            series.end();
            break;
        case Pulse::Kind::release:
            frame.flags |= TouchFlags::primaryUp;
            break;
        case Pulse::Kind::deep:
            frame.flags |= TouchFlags::lookUp;
            break;
        case Pulse::Kind::system:
            frame.flags |= TouchFlags::showDesktop;
            break;
        }
    };

    for (int play = 0; play < options.repeat; ++play) {
        const double start = demo.duration * play;
        std::size_t nextPulse = 0;
        for (std::size_t k = 0; k < framesPerPlay; ++k) {
            const double t = static_cast<double>(k) / options.rate;
            DemoFrame frame;
            frame.time = start + t;
            std::size_t touching = 0;
            for (std::size_t i = 0; i < demo.fingers.size(); ++i) {
                Contact& contact = contacts[i];
                if (const auto point = demo.fingers[i].position(t)) {
                    FingerSample sample{static_cast<std::uint8_t>(i + 1), FingerPhase::began,
                                        static_cast<float>(point->x * width),
                                        static_cast<float>(point->y * height), fingerRadiusUnits};
                    if (contact.isDown) {
                        sample.phase = sample.x == contact.last.x && sample.y == contact.last.y
                                           ? FingerPhase::stationary
                                           : FingerPhase::moved;
                    }
                    contact = {true, sample};
                    frame.fingers.push_back(sample);
                    ++touching;
                } else if (contact.isDown) {
                    FingerSample sample = contact.last;
                    sample.phase = FingerPhase::ended;
                    contact.isDown = false;
                    frame.fingers.push_back(sample);
                }
            }
            // Fingers lifting in this frame still count for the tap they finish.
            contactPeak = std::max(contactPeak, frame.fingers.size());
            while (nextPulse < pulses.size() && pulses[nextPulse].time <= t + kTimeSlack) {
                applyPulse(frame, pulses[nextPulse++], start);
            }
            if (k + 1 == framesPerPlay) {
                // Pulses scripted after the last frame of a play still happen in it.
                while (nextPulse < pulses.size()) {
                    applyPulse(frame, pulses[nextPulse++], start);
                }
            }
            if (touching == 0) {
                contactPeak = 0;
            }
            frames.push_back(std::move(frame));
        }
    }
    return frames;
}

} // namespace ravnix
