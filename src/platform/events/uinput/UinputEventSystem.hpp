#pragma once
// Real input through the kernel's virtual input device (uinput), under any compositor, under
// X11 and on the console: a relative pointer with the left and right buttons, the wheels with
// their high-resolution forms, and the keys the core posts. The compositor sees it as one more
// mouse and keyboard, so its own pointer acceleration applies to the motion.
//
// The device is created through libevdev on /dev/uinput; opening that needs a udev rule that
// gives the logged-in user access (remedy() says what to do). Underneath, the backend writes
// input_event records, each event's group ended by SYN_REPORT, to a file descriptor: the
// device's, or any other (forDescriptor(), a pipe in tests).
//
// Motion: whole pixels; the backend keeps its own position, sends the step from it and keeps
// what a step has below a pixel for the next one. Smooth scrolling goes out in high-resolution
// wheel units, 120 to a notch and a notch for 15 pixels, with a whole notch on the classic
// wheel each time 120 have added up; uinput has no end of a scroll gesture, so a finish sends
// nothing. Line scrolling sends notches.
//
// Threads: post() writes on the caller's thread; a full descriptor is waited for at most 100
// ms, after which the event is dropped and counted.

#include "platform/PlatformError.hpp"
#include "platform/events/EvdevInput.hpp"
#include "platform/events/EventSystem.hpp"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace ravnix {

// One input_event record without its time, which the kernel sets.
struct UinputRecord {
    std::uint16_t type = 0;
    std::uint16_t code = 0;
    std::int32_t value = 0;
    bool operator==(const UinputRecord&) const = default;
};

// The records of one posted event: at most twelve calls of three groups of a few records.
struct UinputRecords {
    static constexpr std::size_t capacity = 64;
    std::array<UinputRecord, capacity> records{};
    std::size_t count = 0;

    const UinputRecord* begin() const noexcept { return records.data(); }
    const UinputRecord* end() const noexcept { return records.data() + count; }
    void add(std::uint16_t type, std::uint16_t code, std::int32_t value) noexcept {
        if (count < capacity) {
            records[count++] = {type, code, value};
        }
    }
};

// Turns input calls into uinput records, keeping what whole units leave over.
class UinputEncoder {
  public:
    void encode(const EvdevCalls& calls, UinputRecords& out) noexcept;

    static constexpr std::int32_t hiResPerNotch = 120;
    static constexpr double pixelsPerNotch = 15;

  private:
    UnitCarry motionX;
    UnitCarry motionY;
    UnitCarry wheelY;        // high-resolution units, positive upwards
    UnitCarry wheelX;        // positive rightwards
    std::int32_t notchY = 0; // high-resolution units towards the next classic notch
    std::int32_t notchX = 0;
};

struct UinputOptions {
    double doubleClickInterval = 0.5;
    // A log line (Turkish, no diacritics), on the posting thread, never under a lock.
    std::function<void(const std::string&)> onEvent;
};

class UinputEventSystem : public EventSystem {
  public:
    static constexpr const char* devicePath = "/dev/uinput";
    static constexpr const char* deviceName = "Ravnix virtual input";

    // Whether `path` opens for writing; the error says why not.
    static std::expected<void, PlatformError> probe(const char* path = devicePath);
    // What to do about an error of probe() or create(), for the user (Turkish, no
    // diacritics): load the module, or install the udev rule.
    static std::string remedy(const PlatformError& error);

    // Creates the virtual device on `path` through libevdev.
    static std::expected<std::shared_ptr<UinputEventSystem>, PlatformError>
    create(UinputOptions options = {}, const char* path = devicePath);
    // Writes the same records to `fd`, which it owns from then on.
    static std::shared_ptr<UinputEventSystem> forDescriptor(int fd, UinputOptions options = {});
    ~UinputEventSystem() override;
    UinputEventSystem(const UinputEventSystem&) = delete;
    UinputEventSystem& operator=(const UinputEventSystem&) = delete;

    std::optional<EventSource> createEventSource() override;
    // The backend's own position, clamped to the screens set with setScreens(), if any.
    std::optional<Point> pointerLocation() override;
    ScreenList screens() override;
    std::optional<InputEvent> mouseEvent(std::optional<EventSource> source, MouseEventType type,
                                         Point location, MouseButton button) override;
    std::optional<InputEvent> keyboardEvent(std::optional<EventSource> source,
                                            std::uint16_t keyCode, bool keyDown) override;
    std::optional<InputEvent> scrollWheelEvent(std::optional<EventSource> source,
                                               std::int32_t vertical,
                                               std::int32_t horizontal) override;
    void post(const InputEvent& event) override;
    double doubleClickInterval() override { return options.doubleClickInterval; }
    // True until a write fails.
    bool isTrusted() override;
    std::optional<std::string> untrustedReason() override;

    // The displays the application knows (uinput has none): frames in the bottom-left
    // orientation, primary first.
    void setScreens(const ScreenList& screens);
    // The device's node (/dev/input/eventN), empty for a plain descriptor.
    std::string deviceNode() const;
    // Events not delivered because a write failed or the descriptor stayed full.
    std::uint64_t droppedEvents() const noexcept { return dropped.load(std::memory_order_relaxed); }

  private:
    struct Device; // libevdev's objects (kept in the .cpp)
    struct DeviceClose {
        void operator()(Device* device) const noexcept;
    };

    UinputEventSystem(int fd, std::unique_ptr<Device, DeviceClose> device, UinputOptions options);
    bool writeAllLocked(const UinputRecords& records);

    const UinputOptions options;
    std::atomic<std::uint64_t> dropped{0};

    mutable std::mutex deviceLock; // guards everything below
    std::unique_ptr<Device, DeviceClose> device;
    int fd = -1;
    std::string failure; // why not trusted; empty while writes succeed
    EvdevInput input;
    UinputEncoder encoder;
    ScreenList knownScreens;
};

} // namespace ravnix
