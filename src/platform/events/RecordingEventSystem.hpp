#pragma once
// An event system that keeps every posted event, in order, with all its fields. Its pointer,
// displays and creation failures are set by the test (or stay at one 1440 × 900 display
// with the pointer in its middle). Posted mouse events move its pointer, as a real system's
// would. Also the backend of `--events=log`, through onPost.

#include "platform/events/EventSystem.hpp"

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace ravnix {

class RecordingEventSystem : public EventSystem {
  public:
    RecordingEventSystem();

    std::optional<EventSource> createEventSource() override;
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
    double doubleClickInterval() override;
    bool isTrusted() override;

    // Scripting.
    void setPointer(std::optional<Point> location);
    void setScreens(const ScreenList& list);
    void setFailCreation(bool fail);
    void setDoubleClickInterval(double seconds);
    void setTrusted(bool trusted);
    // With keepEvents off only the count grows (for benchmarks of the hot path).
    void setKeepEvents(bool keep);
    // Called after each post, with the recorder's lock released.
    void setOnPost(std::function<void(const InputEvent&)> callback);
    // Appends one line per posted event (see describe) to the file; false when it cannot
    // be opened. The backend of `--events=log`.
    bool logTo(const std::filesystem::path& file);

    // Reading back.
    std::vector<InputEvent> events() const;
    std::vector<InputEvent> takeEvents();
    std::size_t postedCount() const;

  private:
    mutable std::mutex recorderLock; // guards everything below
    std::optional<Point> pointer;
    ScreenList screenList;
    bool failCreation = false;
    double clickInterval = 0.5;
    bool trusted = true;
    bool keepEvents = true;
    std::uint32_t nextSource = 1;
    std::vector<InputEvent> posted;
    std::size_t count = 0;
    std::shared_ptr<const std::function<void(const InputEvent&)>> onPost;
};

} // namespace ravnix
