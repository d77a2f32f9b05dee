#include "input/DiagnosticLog.hpp"

#include "platform/FileSystem.hpp"
#include "transport/CFormat.hpp"

#include <cstdio>

namespace ravnix {

std::shared_ptr<DiagnosticLog> DiagnosticLog::make(std::filesystem::path file,
                                                   std::shared_ptr<SerialQueue> mainQueue) {
    return std::shared_ptr<DiagnosticLog>(new DiagnosticLog(std::move(file), std::move(mainQueue)));
}

DiagnosticLog::DiagnosticLog(std::filesystem::path csvFile, std::shared_ptr<SerialQueue> queue)
    : file(std::move(csvFile)), mainQueue(std::move(queue)) {
    if (!file.empty()) {
        (void)createFolders(file.parent_path(), 0700);
    }
}

void DiagnosticLog::start(std::uint64_t now) {
    {
        std::lock_guard guard(lock);
        ring.clear(); // keeps the storage
        head = 0;
        isRecording = true;
        startedAt = now;
    }
    if (!mainQueue) {
        return;
    }
    mainQueue->async([weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self) {
            return;
        }
        self->flushTimer = self->mainQueue->repeating(std::chrono::seconds(4), [weak] {
            if (auto log = weak.lock()) {
                bool recording = false;
                std::vector<Entry> copy;
                {
                    std::lock_guard guard(log->lock);
                    recording = log->isRecording;
                    if (recording) {
                        copy = log->orderedCopyLocked();
                    }
                }
                if (recording) {
                    log->write(copy);
                }
            }
        });
    });
}

void DiagnosticLog::stop() {
    std::vector<Entry> copy;
    {
        std::lock_guard guard(lock);
        isRecording = false;
        copy = orderedCopyLocked();
    }
    if (mainQueue) {
        mainQueue->async([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->flushTimer.cancel();
            }
        });
    }
    write(copy);
}

void DiagnosticLog::record(const Entry& entry) {
    std::lock_guard guard(lock);
    if (!isRecording) {
        return;
    }
    if (ring.size() < capacity) {
        if (ring.capacity() == 0) {
            ring.reserve(capacity); // once per recorder: the step path then never allocates
        }
        ring.push_back(entry);
    } else {
        ring[head] = entry; // drops the oldest
        head = (head + 1) % capacity;
    }
}

DiagnosticLog::State DiagnosticLog::state() const {
    std::lock_guard guard(lock);
    return {isRecording, startedAt};
}

std::size_t DiagnosticLog::count() const {
    std::lock_guard guard(lock);
    return ring.size();
}

std::vector<DiagnosticLog::Entry> DiagnosticLog::entries() const {
    std::lock_guard guard(lock);
    return orderedCopyLocked();
}

std::vector<DiagnosticLog::Entry> DiagnosticLog::orderedCopyLocked() const {
    std::vector<Entry> copy;
    copy.reserve(ring.size());
    copy.insert(copy.end(), ring.begin() + static_cast<std::ptrdiff_t>(head), ring.end());
    copy.insert(copy.end(), ring.begin(), ring.begin() + static_cast<std::ptrdiff_t>(head));
    return copy;
}

std::string DiagnosticLog::csv(const std::vector<Entry>& entries) {
    std::string text;
    text.reserve(90 * (entries.size() + 1));
    text += header;
    const ScopedCLocale cLocale;
    char line[512];
    for (const Entry& e : entries) {
        const int length = std::snprintf(
            line, sizeof line, "%.2f,%u,%d,%d,%s,%.6f,%.6f,%.3f,%.1f,%.3f,%.2f,%.2f,%d\n", e.timeMs,
            e.sequence, e.fingers, static_cast<int>(e.flags), e.isPeerRoute ? "airdrop" : "wifi",
            e.deltaX, e.deltaY, e.elapsed * 1000.0, e.speed, e.gain, e.moveX, e.moveY,
            e.clamped ? 1 : 0);
        if (length > 0) {
            text.append(line,
                        std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line - 1));
        }
    }
    return text;
}

void DiagnosticLog::write(const std::vector<Entry>& entries) const {
    if (!file.empty()) {
        (void)writeFileAtomically(file, csv(entries), 0644);
    }
}

} // namespace ravnix
