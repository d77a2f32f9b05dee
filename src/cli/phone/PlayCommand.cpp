// play DEMO: one of the gesture guide's demonstrations sent as authenticated touch frames on
// the script's own schedule.

#include "cli/phone/PhoneCommands.hpp"
#include "guide/DemoFrames.hpp"
#include "guide/GuideCatalog.hpp"
#include "transport/CFormat.hpp"
#include "transport/MonotonicClock.hpp"

#include <thread>

namespace ravnix::phone {

int play(Context& context) {
    using namespace std::chrono_literals;
    const PhoneOptions& options = context.options;
    const GestureDemo* demo = nullptr;
    std::string known;
    for (const auto& candidate : gestureCatalog()) {
        known += (known.empty() ? "" : ", ") + candidate.id;
        if (candidate.id == options.target) {
            demo = &candidate;
        }
    }
    if (demo == nullptr) {
        return fail("bilinmeyen gösterim: " + options.target + " (olanlar: " + known + ")");
    }
    const auto frames = demoFrames(*demo, {options.rate, options.repeat, options.scale});
    if (!frames) {
        return fail(frames.error());
    }
    const auto desktop = pairedDesktop(context);
    if (!desktop) {
        return fail(desktop.error());
    }
    auto link = openLink(context, *desktop);
    if (!link) {
        return fail(link.error());
    }

    // Frames leave on the script's schedule and carry the phone's clock at their capture
    // moment, so the desktop sees the intervals the script meant even when a send is late.
    const auto started = SteadyClock::now();
    const std::uint64_t startNanos = MonotonicClock::now();
    std::size_t sent = 0;
    for (const DemoFrame& frame : *frames) {
        if (context.interrupted.load()) {
            break;
        }
        const auto offset = std::chrono::nanoseconds(static_cast<std::int64_t>(frame.time * 1e9));
        std::this_thread::sleep_until(started + offset);
        const auto result =
            (*link)->sendFrame(frame.flags, frame.clickCount, frame.fingers,
                               startNanos + static_cast<std::uint64_t>(offset.count()));
        if (!result) {
            return fail(result.error());
        }
        ++sent;
    }
    // A refused frame is answered at once; a short wait lets the notice in.
    const bool refused = (*link)->waitForUnpaired(200ms);
    rememberUnpaired(context, *desktop, **link);
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - started).count();
    say(formatC("%s: %zu kare, %.2f s, %.0f Hz, %s", demo->id.c_str(), sent, seconds, options.rate,
                options.route == ConnectionScenario::Route::airdrop ? "AirDrop" : "Wi-Fi"));
    if (refused) {
        return fail("kareler reddedildi: " + desktop->record.displayName +
                    " eşleştirmeyi kaldırmış");
    }
    return context.interrupted.load() ? fail("kesildi") : 0;
}

} // namespace ravnix::phone
