#include "app/ApplicationLog.hpp"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>

namespace ravnix {

std::string formatLogLine(std::int64_t epochNanoseconds, std::string_view text) {
    const std::time_t seconds = static_cast<std::time_t>(epochNanoseconds / 1'000'000'000);
    const int milliseconds = static_cast<int>((epochNanoseconds % 1'000'000'000) / 1'000'000);
    std::tm local{};
    ::localtime_r(&seconds, &local);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d ", local.tm_hour, local.tm_min,
                  local.tm_sec, milliseconds < 0 ? 0 : milliseconds);
    std::string line(stamp);
    line.append(text);
    line.push_back('\n');
    return line;
}

ApplicationLog::ApplicationLog(std::filesystem::path file) : file_(std::move(file)) {}

void ApplicationLog::line(std::string_view text) {
    std::call_once(folderOnce, [this] {
        std::error_code ignored;
        std::filesystem::create_directories(file_.parent_path(), ignored);
    });
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const std::string line =
        formatLogLine(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count(), text);
    // O_APPEND makes each write land at the end as a whole, whichever thread writes.
    const int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    std::size_t written = 0;
    while (written < line.size()) {
        const ssize_t n = ::write(fd, line.data() + written, line.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    ::close(fd);
}

std::function<void(const std::string&)> logSink(std::shared_ptr<ApplicationLog> log) {
    return [log = std::move(log)](const std::string& text) { log->line(text); };
}

} // namespace ravnix
