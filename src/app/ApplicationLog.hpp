#pragma once
// The application log "pencere.log": one line per event, "HH:mm:ss.SSS text" in local time.
// Lines come from every thread; each is one append, so lines never mix. Write errors are
// ignored: the log must never take the program down.

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace ravnix {

class ApplicationLog {
  public:
    // The folder of `file` is created (with its parents) at the first line, once.
    explicit ApplicationLog(std::filesystem::path file);

    // Any thread.
    void line(std::string_view text);

    const std::filesystem::path& file() const noexcept { return file_; }

  private:
    std::filesystem::path file_;
    std::once_flag folderOnce;
};

// A function that appends to `log` (and keeps it alive), for callbacks that only log.
std::function<void(const std::string&)> logSink(std::shared_ptr<ApplicationLog> log);

// "HH:mm:ss.SSS " + text + "\n" for a local wall-clock time given as nanoseconds since the
// epoch.
std::string formatLogLine(std::int64_t epochNanoseconds, std::string_view text);

} // namespace ravnix
