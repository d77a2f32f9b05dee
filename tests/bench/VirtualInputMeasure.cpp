// The cost of one motion post on the caller's (the injector's) thread through the backends
// that do without a portal, each beside its floor in the same run: the wlroots backend against
// headless sway (tests/support/sway.sh, started and stopped here) beside the bare virtual-pointer
// requests on a connection of its own, the uinput backend writing into a pipe beside a bare
// write() of the same records, and the X11 backend beside them when a display answers.

#include "MeasureSupport.hpp"
#include "platform/events/uinput/UinputEventSystem.hpp"
#include "platform/events/wlroots/WlrootsEventSystem.hpp"
#ifdef RAVNIX_BENCH_X11
#include "platform/events/x11/X11EventSystem.hpp"
#endif

#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <linux/input.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>
#include <wayland-client.h>

namespace {

using namespace ravnix;
using Clock = std::chrono::steady_clock;

constexpr int kWarmUp = 200;
constexpr int kPosts = 5000;

struct Timing {
    double median = 0; // µs
    double p99 = 0;
};

// Times `post` kPosts times after a warm-up.
Timing timeEach(const std::function<void(int)>& post) {
    for (int i = 0; i < kWarmUp; ++i) {
        post(i);
    }
    std::vector<double> samples;
    samples.reserve(kPosts);
    for (int i = 0; i < kPosts; ++i) {
        const auto begin = Clock::now();
        post(i);
        samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
    }
    return {bench::percentile(samples, 0.5), bench::percentile(samples, 0.99)};
}

// One motion post (event + post, as the injector makes it after reading the location): back
// and forth between the location found at the start and a step away, so the pointer stays put.
class Motion {
  public:
    Motion(EventSystem& events, double step) : events(events), step(step) {
        origin = events.pointerLocation().value_or(Point{200, 200});
    }
    void operator()(int i) {
        const double d = i % 2 == 0 ? step : 0;
        events.post(*events.mouseEvent(std::nullopt, MouseEventType::mouseMoved,
                                       {origin.x + d, origin.y + d}, MouseButton::left));
    }

  private:
    EventSystem& events;
    double step;
    Point origin;
};

// The floor: the same requests on a bare connection, with the same wait when the socket is full.
struct BarePointer {
    wl_display* display = nullptr;
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* manager = nullptr;
    zwlr_virtual_pointer_v1* pointer = nullptr;

    explicit BarePointer(const std::string& name) {
        display = wl_display_connect(name.c_str());
        if (display == nullptr) {
            return;
        }
        static const wl_registry_listener listener = {
            .global =
                [](void* data, wl_registry* registry, std::uint32_t id, const char* interface,
                   std::uint32_t) {
                    auto* self = static_cast<BarePointer*>(data);
                    if (std::strcmp(interface, wl_seat_interface.name) == 0 && !self->seat) {
                        self->seat = static_cast<wl_seat*>(
                            wl_registry_bind(registry, id, &wl_seat_interface, 1));
                    } else if (std::strcmp(interface,
                                           zwlr_virtual_pointer_manager_v1_interface.name) == 0) {
                        self->manager =
                            static_cast<zwlr_virtual_pointer_manager_v1*>(wl_registry_bind(
                                registry, id, &zwlr_virtual_pointer_manager_v1_interface, 1));
                    }
                },
            .global_remove = [](void*, wl_registry*, std::uint32_t) {},
        };
        wl_registry* registry = wl_display_get_registry(display);
        wl_registry_add_listener(registry, &listener, this);
        wl_display_roundtrip(display);
        if (manager != nullptr) {
            pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(manager, seat);
            wl_display_roundtrip(display);
        }
    }
    ~BarePointer() {
        if (display != nullptr) {
            wl_display_disconnect(display);
        }
    }
    void motion(int i) {
        const wl_fixed_t step = wl_fixed_from_double(i % 2 == 0 ? 0.5 : -0.5);
        zwlr_virtual_pointer_v1_motion(pointer, 0, step, step);
        zwlr_virtual_pointer_v1_frame(pointer);
        while (wl_display_flush(display) < 0 && errno == EAGAIN) {
            pollfd watched{wl_display_get_fd(display), POLLOUT, 0};
            ::poll(&watched, 1, 100);
        }
    }
};

// A pipe whose reading end a thread empties.
struct DrainedPipe {
    int ends[2] = {-1, -1};
    std::atomic<bool> stopping{false};
    std::thread drain;
    DrainedPipe() {
        if (::pipe2(ends, O_CLOEXEC) != 0) {
            return;
        }
        drain = std::thread([this] {
            char buffer[65536];
            while (!stopping.load()) {
                pollfd watched{ends[0], POLLIN, 0};
                if (::poll(&watched, 1, 50) > 0 && ::read(ends[0], buffer, sizeof buffer) <= 0) {
                    break;
                }
            }
        });
    }
    ~DrainedPipe() {
        stopping.store(true);
        if (drain.joinable()) {
            drain.join();
        }
        ::close(ends[0]);
    }
};

std::string x11Peer() {
#ifdef RAVNIX_BENCH_X11
    auto opened = X11EventSystem::open(nullptr);
    if (!opened || !(*opened)->isTrusted()) {
        return "";
    }
    Motion motion(**opened, 1);
    const Timing x11 = timeEach([&](int i) { motion(i); });
    char text[96];
    std::snprintf(text, sizeof text, "; X11 backend post + flush %.2f / %.1f µs", x11.median,
                  x11.p99);
    return text;
#else
    return "";
#endif
}

void measureWlroots(const std::string& peer) {
    constexpr const char* label = "motion post + flush through the wlroots backend, headless "
                                  "sway (median / p99, 5,000)";
    const bench::BenchService sway("sway");
    if (!sway.skip.empty()) {
        std::printf("| %s | skipped: %s | | |\n", label, sway.skip.c_str());
    } else {
        const std::string socket = sway.env.at("WAYLAND_DISPLAY");
        WlrootsOptions options;
        options.displayName = socket;
        auto opened = WlrootsEventSystem::open(std::move(options));
        BarePointer bare(socket);
        if (!opened || bare.pointer == nullptr) {
            std::printf("| %s | skipped: %s | | |\n", label,
                        opened ? "no bare virtual pointer" : opened.error().text().c_str());
        } else {
            auto& events = **opened;
            Motion motion(events, 0.5);
            const Timing backend = timeEach([&](int i) { motion(i); });
            const Timing floor = timeEach([&](int i) { bare.motion(i); });
            std::printf("| %s | %.2f / %.1f µs, %llu dropped | bare virtual-pointer motion + "
                        "frame + flush %.2f / %.1f µs%s | ratio %.2f (≤ 1.5) |\n",
                        label, backend.median, backend.p99,
                        static_cast<unsigned long long>(events.droppedEvents()), floor.median,
                        floor.p99, peer.c_str(), backend.median / floor.median);
        }
    }
}

void measureUinput(const std::string& peer) {
    constexpr const char* label = "motion post through the uinput backend into a pipe "
                                  "(median / p99, 5,000)";
    DrainedPipe backendPipe;
    DrainedPipe barePipe;
    auto events = UinputEventSystem::forDescriptor(::dup(backendPipe.ends[1]));
    ::close(backendPipe.ends[1]);
    ScreenList screens;
    screens.add({0, 0, 1280, 720});
    events->setScreens(screens);
    // Steps of 1.5 pixels: one pixel or two on each axis, so every post writes.
    Motion motion(*events, 1.5);
    const Timing backend = timeEach([&](int i) { motion(i); });
    const Timing floor = timeEach([&](int i) {
        input_event records[3]{};
        records[0].type = EV_REL;
        records[0].code = REL_X;
        records[0].value = i % 2 == 0 ? 1 : -1;
        records[1].type = EV_REL;
        records[1].code = REL_Y;
        records[1].value = records[0].value;
        records[2].type = EV_SYN;
        records[2].code = SYN_REPORT;
        (void)!::write(barePipe.ends[1], records, sizeof records);
    });
    ::close(barePipe.ends[1]);
    std::printf("| %s | %.2f / %.1f µs, %llu dropped | bare write() of the same records %.2f / "
                "%.1f µs%s | ratio %.2f (≤ 1.5) |\n",
                label, backend.median, backend.p99,
                static_cast<unsigned long long>(events->droppedEvents()), floor.median, floor.p99,
                peer.c_str(), backend.median / floor.median);
}

} // namespace

int main() {
    const std::string peer = x11Peer();
    measureWlroots(peer);
    measureUinput(peer);
    return 0;
}
