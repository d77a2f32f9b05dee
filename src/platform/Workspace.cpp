#include "platform/Workspace.hpp"

#include "platform/DispatchQueue.hpp"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <spawn.h>
#include <sys/wait.h>

extern char** environ;

namespace ravnix {

namespace {
using namespace std::chrono_literals;

// How long a helper's exit is waited for; dbus-send gives up on its own well before.
constexpr auto longestHelperWait = 60s;
constexpr const char* showItemsReplyTimeout = "--reply-timeout=5000";

struct SpawnActions {
    posix_spawn_file_actions_t actions{};
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
};

struct SpawnAttributes {
    posix_spawnattr_t attributes{};
    SpawnAttributes() { posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
};

// Starts a helper with nothing on stdin and its output discarded, with default signal
// handling and nothing blocked (whatever this process does with its signals).
std::expected<pid_t, PlatformError> spawnHelper(const std::vector<std::string>& arguments) {
    std::vector<char*> argv;
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    SpawnActions actions;
    posix_spawn_file_actions_addopen(&actions.actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions.actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions.actions, 1, 2);
    SpawnAttributes attributes;
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes.attributes, &signals);
    sigfillset(&signals);
    posix_spawnattr_setsigdefault(&attributes.attributes, &signals);
    posix_spawnattr_setflags(&attributes.attributes,
                             POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    const int code =
        posix_spawnp(&pid, argv[0], &actions.actions, &attributes.attributes, argv.data(), environ);
    if (code != 0) {
        return std::unexpected(PlatformError{"posix_spawnp(" + arguments.front() + ")", code});
    }
    return pid;
}

// On `queue`: polls for the child's exit with growing pauses, then calls `onExit` with its
// wait status (absent when it could not be learnt, or the child outlived the wait).
void watchChild(DispatchQueue& queue, pid_t pid,
                std::move_only_function<void(std::optional<int>)> onExit,
                SerialQueue::Clock::duration waited = 0ms) {
    const auto pause = std::clamp<SerialQueue::Clock::duration>(waited / 2, 5ms, 250ms);
    queue.asyncAfter(pause,
                     [&queue, pid, onExit = std::move(onExit), waited = waited + pause]() mutable {
                         int status = 0;
                         const pid_t result = waitpid(pid, &status, WNOHANG);
                         if (result == pid) {
                             onExit(status);
                         } else if (result == 0 && waited < longestHelperWait) {
                             watchChild(queue, pid, std::move(onExit), waited);
                         } else {
                             onExit(std::nullopt);
                         }
                     });
}
} // namespace

std::string fileURI(const std::filesystem::path& absoluteFile) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string uri = "file://";
    for (const char c : absoluteFile.string()) {
        const auto byte = static_cast<unsigned char>(c);
        const bool plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' ||
                           byte == '_' || byte == '~' || byte == '/';
        if (plain) {
            uri.push_back(c);
        } else {
            uri.push_back('%');
            uri.push_back(hex[byte >> 4]);
            uri.push_back(hex[byte & 0x0F]);
        }
    }
    return uri;
}

std::vector<std::string> openCommand(std::string_view target) {
    return {"xdg-open", std::string(target)};
}

std::vector<std::string> showItemsCommand(const std::filesystem::path& absoluteFile) {
    return {"dbus-send",
            "--session",
            "--print-reply", // waits for the answer, so the exit status tells whether it worked
            showItemsReplyTimeout,
            "--dest=org.freedesktop.FileManager1",
            "/org/freedesktop/FileManager1",
            "org.freedesktop.FileManager1.ShowItems",
            "array:string:" + fileURI(absoluteFile),
            "string:"}; // no startup notification id
}

std::expected<std::unique_ptr<DesktopWorkspace>, PlatformError> DesktopWorkspace::create() {
    auto queue = DispatchQueue::create("com.belvor.ravnix.workspace");
    if (!queue) {
        return std::unexpected(queue.error());
    }
    return std::unique_ptr<DesktopWorkspace>(new DesktopWorkspace(std::move(*queue)));
}

DesktopWorkspace::DesktopWorkspace(std::unique_ptr<DispatchQueue> helpers)
    : helpers(std::move(helpers)) {}

DesktopWorkspace::~DesktopWorkspace() = default;

std::expected<void, PlatformError> DesktopWorkspace::openURL(std::string_view url) {
    if (url.empty() || url.front() == '-') {
        return std::unexpected(PlatformError{"openURL(" + std::string(url) + ")", EINVAL});
    }
    auto pid = spawnHelper(openCommand(url));
    if (!pid) {
        return std::unexpected(pid.error());
    }
    watchChild(*helpers, *pid, [](std::optional<int>) {});
    return {};
}

std::expected<void, PlatformError> DesktopWorkspace::revealFile(const std::filesystem::path& file) {
    std::error_code error;
    const auto absoluteFile = std::filesystem::absolute(file, error);
    if (error || file.empty()) {
        return std::unexpected(PlatformError{"revealFile(" + file.string() + ")", EINVAL});
    }
    const auto folder = absoluteFile.parent_path();
    auto pid = spawnHelper(showItemsCommand(absoluteFile));
    if (!pid) {
        return openURL(folder.string());
    }
    watchChild(*helpers, *pid, [this, folder](std::optional<int> status) {
        // No file manager on the bus: dbus-send exits with an error. An unknown outcome is
        // left alone rather than risking a second window.
        if (status && !(WIFEXITED(*status) && WEXITSTATUS(*status) == 0)) {
            (void)openURL(folder.string());
        }
    });
    return {};
}

} // namespace ravnix
