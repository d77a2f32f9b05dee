#include "platform/events/uinput/UinputEventSystem.hpp"

#include "transport/CFormat.hpp"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <libevdev/libevdev-uinput.h>
#include <libevdev/libevdev.h>
#include <linux/input.h>
#include <poll.h>
#include <tuple>
#include <unistd.h>

namespace ravnix {
namespace {

constexpr int kWriteLimitMs = 100;

} // namespace

// Encoding.

void UinputEncoder::encode(const EvdevCalls& calls, UinputRecords& out) noexcept {
    constexpr double hiResPerPixel = hiResPerNotch / pixelsPerNotch;
    for (const EvdevCall& call : calls) {
        const std::size_t before = out.count;
        switch (call.kind) {
        case EvdevCall::Kind::motion: {
            const std::int32_t dx = motionX.take(call.dx, 1);
            const std::int32_t dy = motionY.take(call.dy, 1);
            if (dx != 0) {
                out.add(EV_REL, REL_X, dx);
            }
            if (dy != 0) {
                out.add(EV_REL, REL_Y, dy);
            }
            break;
        }
        case EvdevCall::Kind::button:
        case EvdevCall::Kind::key:
            out.add(EV_KEY, static_cast<std::uint16_t>(call.code),
                    static_cast<std::int32_t>(call.state));
            break;
        case EvdevCall::Kind::axis: {
            // The wheel counts upwards; the call's axis downwards.
            const std::int32_t up = wheelY.take(-call.dy, hiResPerPixel);
            const std::int32_t right = wheelX.take(call.dx, hiResPerPixel);
            for (const auto& [hiRes, classic, units, notch] :
                 {std::tuple{REL_WHEEL_HI_RES, REL_WHEEL, up, &notchY},
                  std::tuple{REL_HWHEEL_HI_RES, REL_HWHEEL, right, &notchX}}) {
                if (units == 0) {
                    continue;
                }
                out.add(EV_REL, static_cast<std::uint16_t>(hiRes), units);
                *notch += units;
                const std::int32_t notches = *notch / hiResPerNotch;
                if (notches != 0) {
                    out.add(EV_REL, static_cast<std::uint16_t>(classic), notches);
                    *notch -= notches * hiResPerNotch;
                }
            }
            break;
        }
        case EvdevCall::Kind::discrete: {
            const bool vertical = call.code == 0;
            const std::int32_t notches = vertical ? -call.value : call.value;
            out.add(EV_REL, vertical ? REL_WHEEL_HI_RES : REL_HWHEEL_HI_RES,
                    notches * hiResPerNotch);
            out.add(EV_REL, vertical ? REL_WHEEL : REL_HWHEEL, notches);
            break;
        }
        }
        if (out.count != before) {
            out.add(EV_SYN, SYN_REPORT, 0);
        }
    }
}

// The device.

struct UinputEventSystem::Device {
    libevdev* description = nullptr;
    libevdev_uinput* uinput = nullptr;
    int fd = -1;
};

void UinputEventSystem::DeviceClose::operator()(Device* device) const noexcept {
    if (device->uinput != nullptr) {
        libevdev_uinput_destroy(device->uinput);
    }
    if (device->description != nullptr) {
        libevdev_free(device->description);
    }
    if (device->fd >= 0) {
        ::close(device->fd);
    }
    delete device;
}

std::expected<void, PlatformError> UinputEventSystem::probe(const char* path) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        return std::unexpected(PlatformError{std::string("open(") + path + ")", errno});
    }
    ::close(fd);
    return {};
}

std::string UinputEventSystem::remedy(const PlatformError& error) {
    switch (error.code) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return "/dev/uinput yok: cekirdegin uinput modulunu yukleyin (sudo modprobe uinput; her "
               "acilista yuklensin diye: echo uinput | sudo tee /etc/modules-load.d/uinput.conf); "
               "modul hic yoksa cekirdek uinput'suz derlenmistir (CONFIG_INPUT_UINPUT)";
    case EACCES:
    case EPERM:
        return "/dev/uinput yazilamiyor: oturumdaki kullaniciya izin veren udev kurali gerekli. "
               "Paket ve make install onu 70-ravnix-uinput.rules olarak kurar (/usr/lib/udev/"
               "rules.d, baska bir onekle /etc/udev/rules.d) "
               "(KERNEL==\"uinput\", SUBSYSTEM==\"misc\", TAG+=\"uaccess\", "
               "OPTIONS+=\"static_node=uinput\"); sonra: sudo udevadm control --reload && sudo "
               "udevadm trigger --sysname-match=uinput, ya da yeniden oturum acin";
    default:
        return "uinput aygiti kurulamadi: " + error.text();
    }
}

std::expected<std::shared_ptr<UinputEventSystem>, PlatformError>
UinputEventSystem::create(UinputOptions options, const char* path) {
    std::unique_ptr<Device, DeviceClose> device(new Device);
    device->description = libevdev_new();
    if (device->description == nullptr) {
        return std::unexpected(PlatformError{"libevdev_new", ENOMEM});
    }
    libevdev* description = device->description;
    libevdev_set_name(description, deviceName);
    libevdev_set_id_bustype(description, BUS_VIRTUAL);
    libevdev_enable_event_type(description, EV_REL);
    for (const unsigned code :
         {REL_X, REL_Y, REL_WHEEL, REL_HWHEEL, REL_WHEEL_HI_RES, REL_HWHEEL_HI_RES}) {
        libevdev_enable_event_code(description, EV_REL, code, nullptr);
    }
    libevdev_enable_event_type(description, EV_KEY);
    for (const unsigned code : {BTN_LEFT, BTN_RIGHT}) {
        libevdev_enable_event_code(description, EV_KEY, code, nullptr);
    }
    for (const auto& entry : evdevKeyTable()) {
        libevdev_enable_event_code(description, EV_KEY, entry.evdev, nullptr);
    }
    for (const std::uint16_t key : evdevModifierKeys()) {
        libevdev_enable_event_code(description, EV_KEY, key, nullptr);
    }
    device->fd = ::open(path, O_RDWR | O_CLOEXEC);
    if (device->fd < 0) {
        return std::unexpected(PlatformError{std::string("open(") + path + ")", errno});
    }
    const int result = libevdev_uinput_create_from_device(description, device->fd, &device->uinput);
    if (result < 0) {
        device->uinput = nullptr;
        return std::unexpected(PlatformError{"libevdev_uinput_create_from_device", -result});
    }
    const int fd = libevdev_uinput_get_fd(device->uinput);
    return std::shared_ptr<UinputEventSystem>(
        new UinputEventSystem(fd, std::move(device), std::move(options)));
}

std::shared_ptr<UinputEventSystem> UinputEventSystem::forDescriptor(int fd, UinputOptions options) {
    return std::shared_ptr<UinputEventSystem>(
        new UinputEventSystem(fd, nullptr, std::move(options)));
}

UinputEventSystem::UinputEventSystem(int fd, std::unique_ptr<Device, DeviceClose> device,
                                     UinputOptions options)
    : options(std::move(options)), device(std::move(device)), fd(fd) {
    if (fd < 0) {
        failure = "uinput: gecersiz dosya tanimlayicisi";
    }
}

UinputEventSystem::~UinputEventSystem() {
    std::lock_guard lock(deviceLock);
    if (device) {
        device.reset(); // closes its descriptor too
    } else if (fd >= 0) {
        ::close(fd);
    }
}

bool UinputEventSystem::writeAllLocked(const UinputRecords& records) {
    input_event events[UinputRecords::capacity]; // only the used ones are filled in
    for (std::size_t i = 0; i < records.count; ++i) {
        events[i] = input_event{}; // no time: the kernel sets it
        events[i].type = records.records[i].type;
        events[i].code = records.records[i].code;
        events[i].value = records.records[i].value;
    }
    const auto* bytes = reinterpret_cast<const char*>(events);
    const std::size_t size = records.count * sizeof(input_event);
    std::size_t written = 0;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kWriteLimitMs);
    while (written < size) {
        const ssize_t count = ::write(fd, bytes + written, size - written);
        if (count > 0) {
            written += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno == EAGAIN) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd watched{fd, POLLOUT, 0};
            if (left > 0 && ::poll(&watched, 1, static_cast<int>(left)) >= 0) {
                continue;
            }
            // A partial group would leave the reader inside an event: only whole ones are
            // dropped here, since a write this small is never split.
            return false;
        }
        failure = formatC("uinput: yazilamadi: %s", std::strerror(count < 0 ? errno : EIO));
        return false;
    }
    return true;
}

void UinputEventSystem::post(const InputEvent& event) {
    std::string line;
    {
        std::lock_guard lock(deviceLock);
        if (!failure.empty()) {
            dropped.fetch_add(1, std::memory_order_relaxed);
            return;
        }
        // A dropped event leaves no trace: its step and remainders go with the next one.
        const Point position = input.position();
        const UinputEncoder remainders = encoder;
        const EvdevCalls calls = input.translate(event);
        UinputRecords records;
        encoder.encode(calls, records);
        if (records.count == 0) {
            return;
        }
        if (!writeAllLocked(records)) {
            input.setPosition(position);
            encoder = remainders;
            dropped.fetch_add(1, std::memory_order_relaxed);
            line =
                failure.empty() ? std::string("uinput: aygit okumuyor, olay birakildi") : failure;
        }
    }
    if (!line.empty() && options.onEvent) {
        options.onEvent(line);
    }
}

std::optional<Point> UinputEventSystem::pointerLocation() {
    std::lock_guard lock(deviceLock);
    return input.keepOnScreens(knownScreens);
}

ScreenList UinputEventSystem::screens() {
    std::lock_guard lock(deviceLock);
    return knownScreens;
}

void UinputEventSystem::setScreens(const ScreenList& screens) {
    std::lock_guard lock(deviceLock);
    const bool first = knownScreens.empty();
    knownScreens = screens;
    if (first && !screens.empty()) {
        // Where the compositor's pointer is cannot be asked: start in the primary's middle.
        input.setPosition({screens.frames[0].width / 2, screens.frames[0].height / 2});
    }
}

std::string UinputEventSystem::deviceNode() const {
    std::lock_guard lock(deviceLock);
    if (!device || device->uinput == nullptr) {
        return {};
    }
    const char* node = libevdev_uinput_get_devnode(device->uinput);
    return node != nullptr ? node : "";
}

bool UinputEventSystem::isTrusted() {
    std::lock_guard lock(deviceLock);
    return failure.empty();
}

std::optional<std::string> UinputEventSystem::untrustedReason() {
    std::lock_guard lock(deviceLock);
    if (failure.empty()) {
        return std::nullopt;
    }
    return failure;
}

std::optional<EventSource> UinputEventSystem::createEventSource() {
    return EventSource{1};
}

std::optional<InputEvent> UinputEventSystem::mouseEvent(std::optional<EventSource> source,
                                                        MouseEventType type, Point location,
                                                        MouseButton button) {
    return InputEvent::mouse(source, type, location, button);
}

std::optional<InputEvent> UinputEventSystem::keyboardEvent(std::optional<EventSource> source,
                                                           std::uint16_t keyCode, bool keyDown) {
    return InputEvent::keyboard(source, keyCode, keyDown);
}

std::optional<InputEvent> UinputEventSystem::scrollWheelEvent(std::optional<EventSource> source,
                                                              std::int32_t vertical,
                                                              std::int32_t horizontal) {
    return InputEvent::scrollWheel(source, vertical, horizontal);
}

} // namespace ravnix
