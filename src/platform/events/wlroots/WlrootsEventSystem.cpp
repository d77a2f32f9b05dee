#include "platform/events/wlroots/WlrootsEventSystem.hpp"

#include "platform/events/wlroots/VirtualKeymap.hpp"
#include "transport/CFormat.hpp"
#include "virtual-keyboard-unstable-v1-client-protocol.h"
#include "wlr-virtual-pointer-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>
#include <utility>
#include <vector>
#include <wayland-client.h>

namespace ravnix {
namespace {

using Clock = std::chrono::steady_clock;

// Wheel steps in the axis unit of a wheel notch, as libinput reports a mouse wheel.
constexpr double kPixelsPerWheelStep = 15;

std::uint32_t milliseconds() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000U +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1'000'000U);
}

int millisecondsUntil(Clock::time_point deadline) noexcept {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : static_cast<int>(std::min<long long>(left + 1, 60'000));
}

std::string shownName(const std::string& displayName) {
    if (!displayName.empty()) {
        return displayName;
    }
    const char* fromEnvironment = std::getenv("WAYLAND_DISPLAY");
    return fromEnvironment != nullptr && *fromEnvironment != '\0' ? fromEnvironment : "wayland-0";
}

// What went wrong with a connection that libwayland marked failed.
std::string connectionError(wl_display* display) {
    const int code = wl_display_get_error(display);
    if (code == EPROTO) {
        const wl_interface* interface = nullptr;
        std::uint32_t id = 0;
        const std::uint32_t protocolCode = wl_display_get_protocol_error(display, &interface, &id);
        return formatC("protokol hatasi %s %u", interface != nullptr ? interface->name : "?",
                       protocolCode);
    }
    return std::strerror(code != 0 ? code : EPIPE);
}

// Writes everything libwayland holds for the socket, waiting for room until `deadline`.
// False when the deadline passed first or the connection failed.
bool flushUntil(wl_display* display, Clock::time_point deadline, bool& waited) {
    while (wl_display_flush(display) < 0) {
        if (errno != EAGAIN) {
            return false;
        }
        waited = true;
        const int left = millisecondsUntil(deadline);
        if (left == 0) {
            return false;
        }
        pollfd watched{wl_display_get_fd(display), POLLOUT, 0};
        const int ready = ::poll(&watched, 1, left);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
        if (ready > 0 && (watched.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            errno = EPIPE;
            return false;
        }
    }
    return true;
}

// Reads and dispatches what has arrived, waiting at most until `deadline` for something (now:
// not at all). False when the connection failed.
bool readEvents(wl_display* display, Clock::time_point deadline) {
    while (wl_display_prepare_read(display) != 0) {
        if (wl_display_dispatch_pending(display) < 0) {
            return false;
        }
    }
    pollfd watched{wl_display_get_fd(display), POLLIN, 0};
    const int ready = ::poll(&watched, 1, millisecondsUntil(deadline));
    if (ready > 0) {
        if (wl_display_read_events(display) < 0) {
            return false;
        }
    } else {
        wl_display_cancel_read(display);
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
    return wl_display_dispatch_pending(display) >= 0;
}

// A round trip to the compositor that gives up at `limit`.
bool roundtrip(wl_display* display, std::chrono::milliseconds limit) {
    static const wl_callback_listener listener = {
        .done = [](void* data, wl_callback*, std::uint32_t) { *static_cast<bool*>(data) = true; },
    };
    bool done = false;
    wl_callback* callback = wl_display_sync(display);
    wl_callback_add_listener(callback, &listener, &done);
    const auto deadline = Clock::now() + limit;
    bool waited = false;
    bool healthy = flushUntil(display, deadline, waited);
    while (healthy && !done && Clock::now() < deadline) {
        healthy = readEvents(display, deadline);
    }
    wl_callback_destroy(callback);
    return done && wl_display_get_error(display) == 0;
}

// A keymap in a sealed memory file, as the compositor maps it.
int keymapFile(const std::string& text) {
    const int fd = ::memfd_create("ravnix-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0) {
        return -1;
    }
    const std::size_t size = text.size() + 1; // with its terminating NUL
    std::size_t written = 0;
    while (written < size) {
        const ssize_t count = ::write(fd, text.c_str() + written, size - written);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count <= 0) {
            ::close(fd);
            return -1;
        }
        written += static_cast<std::size_t>(count);
    }
    ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

struct Output {
    std::uint32_t globalName = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* logical = nullptr;
    // wl_output: the current mode in device pixels, the scale and the transform.
    std::int32_t modeWidth = 0;
    std::int32_t modeHeight = 0;
    std::int32_t scale = 1;
    std::int32_t transform = 0;
    // xdg-output: the rectangle in the compositor's logical space.
    std::int32_t x = 0;
    std::int32_t y = 0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    bool hasLogicalSize = false;

    // The output's rectangle in the compositor's space (top-left), or an empty one.
    Rect frame() const noexcept {
        if (hasLogicalSize && width > 0 && height > 0) {
            return {double(x), double(y), double(width), double(height)};
        }
        double w = modeWidth;
        double h = modeHeight;
        if (transform % 2 == 1) { // turned by 90 or 270 degrees
            std::swap(w, h);
        }
        const double s = scale > 0 ? scale : 1;
        return {double(x), double(y), w / s, h / s};
    }
};

const wl_output_listener kOutputListener = {
    .geometry = [](void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                   std::int32_t, const char*, const char*,
                   std::int32_t transform) { static_cast<Output*>(data)->transform = transform; },
    .mode =
        [](void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
           std::int32_t) {
            if ((flags & WL_OUTPUT_MODE_CURRENT) != 0) {
                static_cast<Output*>(data)->modeWidth = width;
                static_cast<Output*>(data)->modeHeight = height;
            }
        },
    .done = [](void*, wl_output*) {},
    .scale = [](void* data, wl_output*,
                std::int32_t factor) { static_cast<Output*>(data)->scale = factor; },
    .name = [](void*, wl_output*, const char*) {},
    .description = [](void*, wl_output*, const char*) {},
};

const zxdg_output_v1_listener kLogicalListener = {
    .logical_position =
        [](void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y) {
            static_cast<Output*>(data)->x = x;
            static_cast<Output*>(data)->y = y;
        },
    .logical_size =
        [](void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height) {
            auto* output = static_cast<Output*>(data);
            output->width = width;
            output->height = height;
            output->hasLogicalSize = true;
        },
    .done = [](void*, zxdg_output_v1*) {},
    .name = [](void*, zxdg_output_v1*, const char*) {},
    .description = [](void*, zxdg_output_v1*, const char*) {},
};

} // namespace

// The Wayland objects of one connection; listeners write into it while it is dispatched.
struct WlrootsEventSystem::Connection {
    std::string name;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_seat* seat = nullptr;
    zwlr_virtual_pointer_manager_v1* pointerManager = nullptr;
    std::uint32_t pointerManagerVersion = 0;
    zwp_virtual_keyboard_manager_v1* keyboardManager = nullptr;
    zxdg_output_manager_v1* outputManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs; // in the order advertised, primary first
    zwlr_virtual_pointer_v1* pointer = nullptr;
    zwp_virtual_keyboard_v1* keyboard = nullptr;
    VirtualKeymap keymap;
    std::string keyboardProblem;    // why there is no virtual keyboard
    std::uint32_t modifiers = 0;    // held down through the virtual keyboard
    std::uint8_t scrollingAxes = 0; // 1 vertical, 2 horizontal: scrolled since the last stop
    bool isFlushPending = false;    // requests still wait for room in the socket

    void watchLogical(Output& output) {
        if (outputManager != nullptr && output.logical == nullptr) {
            output.logical = zxdg_output_manager_v1_get_xdg_output(outputManager, output.output);
            zxdg_output_v1_add_listener(output.logical, &kLogicalListener, &output);
        }
    }

    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version) {
        auto* self = static_cast<Connection*>(data);
        const std::string_view which(interface);
        if (which == wl_seat_interface.name && self->seat == nullptr) {
            self->seat =
                static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        } else if (which == zwlr_virtual_pointer_manager_v1_interface.name &&
                   self->pointerManager == nullptr) {
            self->pointerManagerVersion =
                std::min<std::uint32_t>(version, zwlr_virtual_pointer_manager_v1_interface.version);
            self->pointerManager = static_cast<zwlr_virtual_pointer_manager_v1*>(
                wl_registry_bind(registry, name, &zwlr_virtual_pointer_manager_v1_interface,
                                 self->pointerManagerVersion));
        } else if (which == zwp_virtual_keyboard_manager_v1_interface.name &&
                   self->keyboardManager == nullptr) {
            self->keyboardManager = static_cast<zwp_virtual_keyboard_manager_v1*>(
                wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        } else if (which == zxdg_output_manager_v1_interface.name &&
                   self->outputManager == nullptr) {
            self->outputManager = static_cast<zxdg_output_manager_v1*>(
                wl_registry_bind(registry, name, &zxdg_output_manager_v1_interface,
                                 std::min<std::uint32_t>(version, 2)));
            for (auto& output : self->outputs) {
                self->watchLogical(*output);
            }
        } else if (which == wl_output_interface.name) {
            auto output = std::make_unique<Output>();
            output->globalName = name;
            output->output = static_cast<wl_output*>(wl_registry_bind(
                registry, name, &wl_output_interface, std::min<std::uint32_t>(version, 2)));
            wl_output_add_listener(output->output, &kOutputListener, output.get());
            self->watchLogical(*output);
            self->outputs.push_back(std::move(output));
        }
    }

    static void globalRemove(void* data, wl_registry*, std::uint32_t name) {
        auto* self = static_cast<Connection*>(data);
        std::erase_if(self->outputs, [name](const std::unique_ptr<Output>& output) {
            if (output->globalName != name) {
                return false;
            }
            if (output->logical != nullptr) {
                zxdg_output_v1_destroy(output->logical);
            }
            wl_output_destroy(output->output);
            return true;
        });
    }

    ~Connection() {
        if (pointer != nullptr) {
            zwlr_virtual_pointer_v1_destroy(pointer);
        }
        if (keyboard != nullptr) {
            zwp_virtual_keyboard_v1_destroy(keyboard);
        }
        for (auto& output : outputs) {
            if (output->logical != nullptr) {
                zxdg_output_v1_destroy(output->logical);
            }
            wl_output_destroy(output->output);
        }
        if (outputManager != nullptr) {
            zxdg_output_manager_v1_destroy(outputManager);
        }
        if (pointerManager != nullptr) {
            if (pointerManagerVersion >= 2) {
                zwlr_virtual_pointer_manager_v1_destroy(pointerManager);
            } else {
                wl_proxy_destroy(reinterpret_cast<wl_proxy*>(pointerManager));
            }
        }
        if (keyboardManager != nullptr) {
            zwp_virtual_keyboard_manager_v1_destroy(keyboardManager); // no request: the proxy
        }
        if (seat != nullptr) {
            wl_seat_destroy(seat);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_flush(display); // the destroy requests, if the socket takes them now
            wl_display_disconnect(display);
        }
    }
};

namespace {

const wl_registry_listener kRegistryListener = {
    .global = WlrootsEventSystem::Connection::global,
    .global_remove = WlrootsEventSystem::Connection::globalRemove,
};

} // namespace

// Log lines gathered under the lock and written after it.
struct WlrootsEventSystem::Pending {
    std::array<std::string, 4> lines;
    std::size_t count = 0;
    void add(std::string line) {
        if (count < lines.size()) {
            lines[count++] = std::move(line);
        }
    }
};

void WlrootsEventSystem::ConnectionClose::operator()(Connection* connection) const noexcept {
    delete connection;
}

std::expected<WlrootsGlobals, PlatformError>
WlrootsEventSystem::probe(const std::string& displayName, std::chrono::milliseconds timeout) {
    const std::string shown = shownName(displayName);
    Connection connection;
    connection.display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (connection.display == nullptr) {
        return std::unexpected(PlatformError{"wl_display_connect(" + shown + ")", errno});
    }
    connection.registry = wl_display_get_registry(connection.display);
    wl_registry_add_listener(connection.registry, &kRegistryListener, &connection);
    if (!roundtrip(connection.display, timeout)) {
        return std::unexpected(PlatformError{"wl_registry (" + shown + ")", ETIMEDOUT});
    }
    WlrootsGlobals globals;
    globals.virtualPointerVersion = connection.pointerManagerVersion;
    globals.hasVirtualKeyboard = connection.keyboardManager != nullptr;
    globals.hasSeat = connection.seat != nullptr;
    globals.outputs = static_cast<std::uint32_t>(connection.outputs.size());
    return globals;
}

std::expected<WlrootsEventSystem::ConnectionPointer, PlatformError>
WlrootsEventSystem::connect(const WlrootsOptions& options) {
    ConnectionPointer connection(new Connection);
    connection->name = shownName(options.displayName);
    connection->display =
        wl_display_connect(options.displayName.empty() ? nullptr : options.displayName.c_str());
    if (connection->display == nullptr) {
        return std::unexpected(
            PlatformError{"wl_display_connect(" + connection->name + ")", errno});
    }
    connection->registry = wl_display_get_registry(connection->display);
    wl_registry_add_listener(connection->registry, &kRegistryListener, connection.get());
    if (!roundtrip(connection->display, options.replyTimeout)) {
        return std::unexpected(PlatformError{"wl_registry (" + connection->name + ")", ETIMEDOUT});
    }
    if (connection->pointerManager == nullptr) {
        return std::unexpected(
            PlatformError{"zwlr_virtual_pointer_manager_v1 (" + connection->name + ")", ENOTSUP});
    }
    connection->pointer = zwlr_virtual_pointer_manager_v1_create_virtual_pointer(
        connection->pointerManager, connection->seat);

    if (connection->keyboardManager == nullptr || connection->seat == nullptr) {
        connection->keyboardProblem = "zwp_virtual_keyboard_manager_v1 yok";
    } else if (auto keymap = VirtualKeymap::build(); !keymap) {
        connection->keyboardProblem = keymap.error();
    } else if (const int fd = keymapFile(keymap->text); fd < 0) {
        connection->keyboardProblem = formatC("klavye: memfd_create: %s", std::strerror(errno));
    } else {
        connection->keymap = std::move(*keymap);
        connection->keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(
            connection->keyboardManager, connection->seat);
        // libwayland sends a copy of the descriptor with the request.
        zwp_virtual_keyboard_v1_keymap(
            connection->keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, fd,
            static_cast<std::uint32_t>(connection->keymap.text.size() + 1));
        ::close(fd);
    }
    // The outputs' rectangles, and the compositor's verdict on the new devices.
    if (!roundtrip(connection->display, options.replyTimeout)) {
        const int code = wl_display_get_error(connection->display);
        return std::unexpected(PlatformError{"sanal aygitlar (" + connection->name +
                                                 "): " + connectionError(connection->display),
                                             code != 0 ? code : ETIMEDOUT});
    }
    return connection;
}

WlrootsEventSystem::WlrootsEventSystem(WlrootsOptions options) : options(std::move(options)) {}

WlrootsEventSystem::~WlrootsEventSystem() {
    std::lock_guard lock(connectionLock);
    connection.reset();
}

std::expected<std::shared_ptr<WlrootsEventSystem>, PlatformError>
WlrootsEventSystem::open(WlrootsOptions options) {
    auto connected = connect(options);
    if (!connected) {
        return std::unexpected(connected.error());
    }
    std::shared_ptr<WlrootsEventSystem> events(new WlrootsEventSystem(std::move(options)));
    Pending pending;
    {
        std::lock_guard lock(events->connectionLock);
        events->connection = std::move(*connected);
        pending.add(events->describeLocked());
    }
    events->report(pending);
    return events;
}

std::string WlrootsEventSystem::describeLocked() const {
    std::string text = formatC("wlroots: bagli %s, sanal isaretci v%u, sanal klavye ",
                               connection->name.c_str(), connection->pointerManagerVersion);
    text += connection->keyboard != nullptr ? "var" : "yok (" + connection->keyboardProblem + ")";
    const ScreenList list = screensLocked();
    text += formatC(", ekran sayi=%zu", list.count);
    for (const Rect& frame : list) {
        text += formatC(" %.0fx%.0f+%.0f+%.0f", frame.width, frame.height, frame.x, frame.y);
    }
    return text;
}

void WlrootsEventSystem::report(Pending& pending) {
    if (!options.onEvent) {
        return;
    }
    for (std::size_t i = 0; i < pending.count; ++i) {
        options.onEvent(pending.lines[i]);
    }
}

void WlrootsEventSystem::loseLocked(const std::string& why, Pending& pending) {
    reason = "bilesik sunucu baglantisi koptu: " + why;
    pending.add("wlroots: " + reason);
    connection.reset();
}

bool WlrootsEventSystem::pumpLocked(Pending& pending) {
    if (!connection) {
        return false;
    }
    lastPump = Clock::now();
    if (!readEvents(connection->display, Clock::time_point{})) {
        loseLocked(connectionError(connection->display), pending);
        return false;
    }
    return true;
}

bool WlrootsEventSystem::flushLocked(Pending& pending) {
    bool waited = false;
    const bool flushed = flushUntil(connection->display, Clock::now() + options.flushLimit, waited);
    if (waited) {
        waits.fetch_add(1, std::memory_order_relaxed);
    }
    if (flushed) {
        connection->isFlushPending = false;
        return true;
    }
    if (errno == EAGAIN) {
        connection->isFlushPending = true; // written once the socket has room
        return false;
    }
    loseLocked(std::strerror(errno), pending);
    return false;
}

void WlrootsEventSystem::sendLocked(const InputEvent& event, Pending& pending) {
    // Nothing is added while older requests still wait: libwayland's buffer must never fill.
    if (connection->isFlushPending && !flushLocked(pending)) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        if (connection && !isDroppingReported) {
            isDroppingReported = true;
            pending.add("wlroots: bilesik sunucu okumuyor, olaylar birakiliyor");
        }
        return;
    }
    const EvdevCalls calls = input.translate(event);
    if (calls.count == 0) {
        return;
    }
    Connection& link = *connection;
    const std::uint32_t time = milliseconds();
    bool keyMissing = false;
    for (const EvdevCall& call : calls) {
        switch (call.kind) {
        case EvdevCall::Kind::motion: {
            const std::int32_t dx = carryX.take(call.dx, 256);
            const std::int32_t dy = carryY.take(call.dy, 256);
            if (dx != 0 || dy != 0) { // wl_fixed_t is the value in 1/256 units
                zwlr_virtual_pointer_v1_motion(link.pointer, time, dx, dy);
                zwlr_virtual_pointer_v1_frame(link.pointer);
            }
            break;
        }
        case EvdevCall::Kind::button:
            zwlr_virtual_pointer_v1_button(link.pointer, time,
                                           static_cast<std::uint32_t>(call.code), call.state);
            zwlr_virtual_pointer_v1_frame(link.pointer);
            break;
        case EvdevCall::Kind::axis: {
            // wlroots gives the source to the axis named last, and every axis of a frame
            // must have the same source: so each axis request is followed by its source.
            const std::pair<std::uint32_t, double> axes[] = {
                {WL_POINTER_AXIS_VERTICAL_SCROLL, call.dy},
                {WL_POINTER_AXIS_HORIZONTAL_SCROLL, call.dx}};
            bool any = false;
            for (const auto& [axis, value] : axes) {
                if (value != 0) {
                    zwlr_virtual_pointer_v1_axis(link.pointer, time, axis,
                                                 wl_fixed_from_double(value));
                    zwlr_virtual_pointer_v1_axis_source(link.pointer,
                                                        WL_POINTER_AXIS_SOURCE_FINGER);
                    link.scrollingAxes |= static_cast<std::uint8_t>(1U << axis);
                    any = true;
                }
            }
            if (any) {
                zwlr_virtual_pointer_v1_frame(link.pointer);
            }
            if (call.finish) {
                // A stop in the frame of a value would cancel the value: a frame of its own.
                const std::uint8_t stopped = link.scrollingAxes != 0 ? link.scrollingAxes : 1;
                for (const std::uint32_t axis :
                     {std::uint32_t{WL_POINTER_AXIS_VERTICAL_SCROLL},
                      std::uint32_t{WL_POINTER_AXIS_HORIZONTAL_SCROLL}}) {
                    if ((stopped & (1U << axis)) != 0) {
                        zwlr_virtual_pointer_v1_axis_stop(link.pointer, time, axis);
                        zwlr_virtual_pointer_v1_axis_source(link.pointer,
                                                            WL_POINTER_AXIS_SOURCE_FINGER);
                    }
                }
                zwlr_virtual_pointer_v1_frame(link.pointer);
                link.scrollingAxes = 0;
            }
            break;
        }
        case EvdevCall::Kind::discrete: {
            const std::uint32_t axis = call.code == 0 ? WL_POINTER_AXIS_VERTICAL_SCROLL
                                                      : WL_POINTER_AXIS_HORIZONTAL_SCROLL;
            zwlr_virtual_pointer_v1_axis_discrete(
                link.pointer, time, axis, wl_fixed_from_double(call.value * kPixelsPerWheelStep),
                call.value);
            zwlr_virtual_pointer_v1_axis_source(link.pointer, WL_POINTER_AXIS_SOURCE_WHEEL);
            zwlr_virtual_pointer_v1_frame(link.pointer);
            break;
        }
        case EvdevCall::Kind::key: {
            if (link.keyboard == nullptr) {
                keyMissing = true;
                break;
            }
            const auto key = static_cast<std::uint32_t>(call.code);
            zwp_virtual_keyboard_v1_key(link.keyboard, time, key, call.state);
            if (const std::uint32_t mask = link.keymap.modifierMask(key); mask != 0) {
                link.modifiers =
                    call.state != 0 ? (link.modifiers | mask) : (link.modifiers & ~mask);
                zwp_virtual_keyboard_v1_modifiers(link.keyboard, link.modifiers, 0, 0, 0);
            }
            break;
        }
        }
    }
    if (keyMissing) {
        dropped.fetch_add(1, std::memory_order_relaxed);
        if (!isDroppingReported) {
            isDroppingReported = true;
            pending.add("wlroots: tus birakildi: " + link.keyboardProblem);
        }
    }
    // A flush that runs out of time leaves the requests queued: they go with the next one.
    if (flushLocked(pending) && !keyMissing && isDroppingReported) {
        isDroppingReported = false;
        const std::uint64_t total = dropped.load(std::memory_order_relaxed);
        pending.add(formatC("wlroots: olaylar yeniden gidiyor, birakilan=%llu",
                            static_cast<unsigned long long>(total - droppedAtReport)));
        droppedAtReport = total;
    }
}

void WlrootsEventSystem::post(const InputEvent& event) {
    Pending pending;
    {
        std::lock_guard lock(connectionLock);
        if (connection) {
            sendLocked(event, pending);
        } else {
            dropped.fetch_add(1, std::memory_order_relaxed);
            if (!isDroppingReported) {
                isDroppingReported = true;
                pending.add("wlroots: baglanti yok, olaylar birakiliyor");
            }
        }
    }
    report(pending);
}

ScreenList WlrootsEventSystem::screensLocked() const {
    ScreenList list;
    if (!connection) {
        return list;
    }
    // Bottom-left frames around the first output: y' = its height − (top relative to it) −
    // height.
    std::optional<Rect> primary;
    for (const auto& output : connection->outputs) {
        const Rect frame = output->frame();
        if (frame.width <= 0 || frame.height <= 0) {
            continue;
        }
        if (!primary) {
            primary = frame;
        }
        list.add({frame.x - primary->x, primary->height - (frame.y - primary->y) - frame.height,
                  frame.width, frame.height});
    }
    return list;
}

ScreenList WlrootsEventSystem::screens() {
    std::lock_guard lock(connectionLock);
    return screensLocked();
}

std::optional<Point> WlrootsEventSystem::pointerLocation() {
    Pending pending;
    Point location;
    {
        std::lock_guard lock(connectionLock);
        // Output changes arrive now and then; a look without waiting, a few times a second.
        if (connection && Clock::now() - lastPump > std::chrono::milliseconds(250)) {
            pumpLocked(pending);
        }
        const ScreenList list = screensLocked();
        if (!hasPosition && !list.empty()) {
            // Where the compositor's pointer is cannot be asked: start in the primary's middle.
            input.setPosition({list.frames[0].width / 2, list.frames[0].height / 2});
            hasPosition = true;
        }
        location = input.keepOnScreens(list);
    }
    report(pending);
    return location;
}

std::optional<EventSource> WlrootsEventSystem::createEventSource() {
    return EventSource{1};
}

std::optional<InputEvent> WlrootsEventSystem::mouseEvent(std::optional<EventSource> source,
                                                         MouseEventType type, Point location,
                                                         MouseButton button) {
    return InputEvent::mouse(source, type, location, button);
}

std::optional<InputEvent> WlrootsEventSystem::keyboardEvent(std::optional<EventSource> source,
                                                            std::uint16_t keyCode, bool keyDown) {
    return InputEvent::keyboard(source, keyCode, keyDown);
}

std::optional<InputEvent> WlrootsEventSystem::scrollWheelEvent(std::optional<EventSource> source,
                                                               std::int32_t vertical,
                                                               std::int32_t horizontal) {
    return InputEvent::scrollWheel(source, vertical, horizontal);
}

bool WlrootsEventSystem::isTrusted() {
    Pending pending;
    bool connected = false;
    {
        std::lock_guard lock(connectionLock);
        if (connection && pumpLocked(pending)) {
            // A flush that ran out of time earlier goes on here, without waiting.
            if (connection->isFlushPending && wl_display_flush(connection->display) >= 0) {
                connection->isFlushPending = false;
            }
        }
        connected = connection != nullptr;
    }
    report(pending);
    if (connected) {
        return true;
    }
    // Lost: connect again, outside the lock, so that post() never waits for it.
    if (isConnecting.exchange(true, std::memory_order_acq_rel)) {
        return false;
    }
    auto fresh = connect(options);
    isConnecting.store(false, std::memory_order_release);
    if (!fresh) {
        return false;
    }
    reconnections_.fetch_add(1, std::memory_order_relaxed);
    Pending joined;
    {
        std::lock_guard lock(connectionLock);
        connection = std::move(*fresh);
        reason.clear();
        carryX.reset();
        carryY.reset();
        joined.add("wlroots: yeniden " + describeLocked().substr(9));
    }
    report(joined);
    return true;
}

std::optional<std::string> WlrootsEventSystem::untrustedReason() {
    std::lock_guard lock(connectionLock);
    if (connection) {
        return std::nullopt;
    }
    return reason;
}

} // namespace ravnix
