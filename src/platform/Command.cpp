#include "platform/Command.hpp"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace ravnix {

namespace {

struct Pipe {
    int fds[2] = {-1, -1};
    ~Pipe() {
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }
};

} // namespace

std::expected<CommandResult, PlatformError> runCommand(std::span<const std::string> argv,
                                                       std::chrono::milliseconds limit) {
    const std::string what = argv.empty() ? std::string("run()") : "run(" + argv.front() + ")";
    if (argv.empty()) {
        return std::unexpected(PlatformError{what, EINVAL});
    }
    Pipe out;
    if (::pipe2(out.fds, O_CLOEXEC) != 0) {
        return std::unexpected(PlatformError{what, errno});
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out.fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> arguments;
    for (const auto& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        posix_spawnp(&child, arguments[0], &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        return std::unexpected(PlatformError{what, spawned});
    }
    ::close(out.fds[1]);
    out.fds[1] = -1;

    CommandResult result;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool timedOut = false;
    char buffer[16384];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timedOut = true;
            break;
        }
        pollfd waiting{out.fds[0], POLLIN, 0};
        const int ready = ::poll(&waiting, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            timedOut = ready == 0;
            break;
        }
        const ssize_t got = ::read(out.fds[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        const std::size_t room = outputLimit - result.output.size();
        result.output.append(buffer, std::min(static_cast<std::size_t>(got), room));
    }
    if (timedOut) {
        ::kill(child, SIGKILL);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (timedOut) {
        return std::unexpected(PlatformError{what, ETIMEDOUT});
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

} // namespace ravnix
