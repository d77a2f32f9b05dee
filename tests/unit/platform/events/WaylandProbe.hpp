#pragma once
// The Wayland client of the tests (tests/support/wayland_probe.c) as a child: a fullscreen
// window that prints what its pointer and keyboard receive, one line per event.

#include "platform/events/EventSystem.hpp"
#include "unit/cli/ProcessSupport.hpp"

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <sstream>
#include <thread>

namespace ravnix::test {

// The probe as a child; a thread of the test reads its lines as they come, so that the probe
// never stops reading the compositor while the test is busy posting.
class Probe {
  public:
    Probe(const std::string& runtimeDir, const std::string& display) {
        const auto child = test::spawnWithPipes(
            RAVNIX_WAYLAND_PROBE, {},
            {"XDG_RUNTIME_DIR=" + runtimeDir, "WAYLAND_DISPLAY=" + display}, "/dev/null");
        if (!child) {
            return;
        }
        pid = child->pid;
        input = child->input;
        reader = std::thread([this, output = child->output] { readLines(output); });
    }
    ~Probe() {
        if (input >= 0) {
            ::close(input); // the probe ends when its input closes
        }
        if (pid > 0) {
            const auto deadline = Clock::now() + 5s;
            int status = 0;
            while (::waitpid(pid, &status, WNOHANG) == 0) {
                if (Clock::now() > deadline) {
                    ::kill(pid, SIGKILL);
                    ::waitpid(pid, &status, 0);
                    break;
                }
                std::this_thread::sleep_for(5ms);
            }
        }
        if (reader.joinable()) {
            reader.join(); // the output closes with the probe
        }
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    bool isRunning() const { return pid > 0; }

    // The next unread line that starts with one of `prefixes`, passing over others; none at
    // the limit.
    std::optional<std::string> next(std::initializer_list<const char*> prefixes,
                                    std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(linesLock);
        std::optional<std::string> found;
        arrived.wait_for(lock, limit, [&] {
            for (; cursor < lines.size() && !found; ++cursor) {
                for (const char* prefix : prefixes) {
                    if (lines[cursor].rfind(prefix, 0) == 0) {
                        found = lines[cursor];
                        break;
                    }
                }
            }
            return found.has_value() || isClosed;
        });
        return found;
    }

    // Whether any line so far, read or not, starts with `prefix`; waits for one up to `limit`.
    bool hasSeen(const char* prefix, std::chrono::milliseconds limit = 5s) {
        std::unique_lock lock(linesLock);
        return arrived.wait_for(lock, limit, [&] {
            return isClosed ||
                   std::any_of(lines.begin(), lines.end(),
                               [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
        }) && !isClosed;
    }

    // Waits until `count` lines after the cursor start with `prefix`, and returns them all.
    std::vector<std::string> collect(const char* prefix, std::size_t count,
                                     std::chrono::milliseconds limit) {
        std::unique_lock lock(linesLock);
        std::vector<std::string> found;
        std::size_t scanned = cursor;
        arrived.wait_for(lock, limit, [&] {
            for (; scanned < lines.size(); ++scanned) {
                if (lines[scanned].rfind(prefix, 0) == 0) {
                    found.push_back(lines[scanned]);
                }
            }
            return found.size() >= count || isClosed;
        });
        cursor = scanned;
        return found;
    }

  private:
    void readLines(int output) {
        std::string buffer;
        char chunk[65536];
        while (true) {
            const ssize_t count = ::read(output, chunk, sizeof chunk);
            if (count <= 0) {
                break;
            }
            buffer.append(chunk, static_cast<std::size_t>(count));
            std::size_t start = 0;
            std::vector<std::string> complete;
            for (auto end = buffer.find('\n'); end != std::string::npos;
                 end = buffer.find('\n', start)) {
                complete.push_back(buffer.substr(start, end - start));
                start = end + 1;
            }
            buffer.erase(0, start);
            {
                std::lock_guard lock(linesLock);
                lines.insert(lines.end(), complete.begin(), complete.end());
            }
            arrived.notify_all();
        }
        ::close(output);
        {
            std::lock_guard lock(linesLock);
            isClosed = true;
        }
        arrived.notify_all();
    }

    pid_t pid = -1;
    int input = -1;
    std::thread reader;
    std::mutex linesLock; // guards lines, cursor, isClosed
    std::condition_variable arrived;
    std::vector<std::string> lines;
    std::size_t cursor = 0;
    bool isClosed = false;
};

Point pointOf(const std::string& line) {
    std::istringstream fields(line);
    std::string word;
    Point point;
    fields >> word >> point.x >> point.y;
    return point;
}

} // namespace ravnix::test
