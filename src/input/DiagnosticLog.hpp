#pragma once
// The motion recorder. While recording, the interpreter adds one fixed-size entry per
// pointer-motion step; the recorder keeps the newest 60,000 and rewrites a CSV file from
// them every 4 seconds (on the main queue) and once more when recording stops, so the
// pointer curve can be tuned in a spreadsheet. Recording costs one lock and one copy per
// step; formatting and file output never happen under the lock.

#include "platform/MainQueue.hpp"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace ravnix {

class DiagnosticLog : public std::enable_shared_from_this<DiagnosticLog> {
  public:
    struct Entry {
        double timeMs = 0;
        std::uint32_t sequence = 0;
        int fingers = 0;
        std::uint8_t flags = 0;
        bool isPeerRoute = false;
        double deltaX = 0;
        double deltaY = 0;
        double elapsed = 0; // seconds
        double speed = 0;
        double gain = 0;
        double moveX = 0;
        double moveY = 0;
        bool clamped = false;
        bool operator==(const Entry&) const = default;
    };

    static constexpr std::size_t capacity = 60'000;
    static constexpr const char* header =
        "t_ms,seq,fingers,flags,yol,dx,dy,elapsed_ms,speed,gain,move_x,move_y,clamped\n";

    // `file` is the CSV file (its folder is created now; failures are ignored). The flush
    // timer runs on `mainQueue`.
    static std::shared_ptr<DiagnosticLog> make(std::filesystem::path file,
                                               std::shared_ptr<SerialQueue> mainQueue);

    // Main thread. Clears the entries and starts recording with `now` (monotonic ns) as origin.
    void start(std::uint64_t now);
    // Main thread. Stops recording and writes the file before returning.
    void stop();
    // Any thread; ignored while not recording.
    void record(const Entry& entry);

    struct State {
        bool isRecording = false;
        std::uint64_t startedAt = 0;
    };
    State state() const;
    std::size_t count() const;
    std::vector<Entry> entries() const; // oldest first
    const std::filesystem::path& fileURL() const noexcept { return file; }

    // The whole CSV text for the entries (header included); a full stop as decimal separator.
    static std::string csv(const std::vector<Entry>& entries);

  private:
    DiagnosticLog(std::filesystem::path file, std::shared_ptr<SerialQueue> mainQueue);
    std::vector<Entry> orderedCopyLocked() const;
    void write(const std::vector<Entry>& entries) const;

    const std::filesystem::path file;
    const std::shared_ptr<SerialQueue> mainQueue;

    mutable std::mutex lock; // guards the ring of entries, isRecording and startedAt
    std::vector<Entry> ring; // at most `capacity`; `head` is the oldest once full
    std::size_t head = 0;
    bool isRecording = false;
    std::uint64_t startedAt = 0;

    RepeatingTimer flushTimer; // main queue only
};

} // namespace ravnix
