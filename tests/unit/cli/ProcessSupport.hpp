#pragma once
// The built program as a user starts it, for the process tests: a child with pipes for its
// standard input and output, bounded waits, and a free UDP port. Every wait is bounded.

#include "packet/PacketCodec.hpp"

#include <algorithm>
#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace ravnix::test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr auto kLimit = 10s;

inline int remainingMs(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

inline std::string readFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The environment of a program under test: its folders under `home`, PATH and the sanitizers'
// options passed on, and no bus of the user's. An entry of `overrides` replaces its namesake.
inline std::vector<std::string> privateEnvironment(const std::filesystem::path& home,
                                                   const std::vector<std::string>& overrides = {}) {
    std::vector<std::string> env = {
        "HOME=" + (home / "home").string(),
        "XDG_CONFIG_HOME=" + (home / "config").string(),
        "XDG_STATE_HOME=" + (home / "state").string(),
        "XDG_DATA_HOME=" + (home / "data").string(),
        "DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (home / "no-system-bus").string(),
        "DBUS_SESSION_BUS_ADDRESS=unix:path=" + (home / "no-session-bus").string(),
    };
    for (const char* passed :
         {"PATH", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS"}) {
        if (const char* value = std::getenv(passed)) {
            env.push_back(std::string(passed) + "=" + value);
        }
    }
    for (const auto& entry : overrides) {
        const std::string name = entry.substr(0, entry.find('=') + 1);
        std::erase_if(env, [&](const std::string& old) { return old.starts_with(name); });
        env.push_back(entry);
    }
    return env;
}

// A UDP port nobody uses right now: bound once by the system's choice, then released.
inline std::uint16_t freeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    std::uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    return port;
}

// A started child: its process number, the write end of its standard input and the read end
// of its standard output. Its standard error goes to `errorFile`.
struct SpawnedChild {
    pid_t pid = -1;
    int input = -1;
    int output = -1;
};

inline std::optional<SpawnedChild> spawnWithPipes(const std::string& binary,
                                                  const std::vector<std::string>& arguments,
                                                  const std::vector<std::string>& env,
                                                  const std::filesystem::path& errorFile) {
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> argv{const_cast<char*>(binary.c_str())};
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& entry : env) {
        envp.push_back(const_cast<char*>(entry.c_str()));
    }
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned =
        ::posix_spawn(&pid, binary.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    if (spawned != 0) {
        ::close(in[1]);
        ::close(out[0]);
        return std::nullopt;
    }
    return SpawnedChild{pid, in[1], out[0]};
}

// The phone's side of the touch link, on loopback.
class LoopbackPhone {
  public:
    explicit LoopbackPhone(std::uint16_t port) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        connected =
            fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~LoopbackPhone() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    LoopbackPhone(const LoopbackPhone&) = delete;
    LoopbackPhone& operator=(const LoopbackPhone&) = delete;

    // Sends `packet` until a reply of kind `wanted` comes back, resending every 200 ms.
    std::optional<std::vector<std::uint8_t>> exchange(std::span<const std::uint8_t> packet,
                                                      PacketKind wanted) {
        const auto deadline = Clock::now() + kLimit;
        while (connected && Clock::now() < deadline) {
            // Refused sends (nobody bound yet) are retried like lost ones.
            (void)::send(fd, packet.data(), packet.size(), 0);
            const auto resend = std::min(deadline, Clock::now() + 200ms);
            while (Clock::now() < resend) {
                pollfd watched{fd, POLLIN, 0};
                if (::poll(&watched, 1, remainingMs(resend)) <= 0) {
                    break;
                }
                std::array<std::uint8_t, PacketFormat::maximumDatagramSize> reply{};
                const ssize_t count = ::recv(fd, reply.data(), reply.size(), 0);
                if (count <= 0) {
                    continue;
                }
                const auto bytes = std::span<const std::uint8_t>(reply).first(count);
                if (const auto header = PacketCodec::peekHeader(bytes);
                    header && header->kind == wanted) {
                    return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
                }
            }
        }
        return std::nullopt;
    }

  private:
    int fd = -1;
    bool connected = false;
};

class RavnixProcess {
  public:
#ifdef RAVNIX_BINARY
    RavnixProcess() : RavnixProcess(RAVNIX_BINARY) {}
#endif
    explicit RavnixProcess(std::string program) : binary(std::move(program)) {}
    RavnixProcess(const RavnixProcess&) = delete;
    RavnixProcess& operator=(const RavnixProcess&) = delete;
    ~RavnixProcess() {
        if (pid > 0) {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
        for (const int fd : {input, output}) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
    }

    bool start(const std::vector<std::string>& arguments, const std::vector<std::string>& env,
               const std::filesystem::path& errorFile) {
        const auto spawned = spawnWithPipes(binary, arguments, env, errorFile);
        if (!spawned) {
            return false;
        }
        pid = spawned->pid;
        input = spawned->input;
        output = spawned->output;
        return true;
    }

    // Reads standard output until it holds `text` at `from` or later.
    bool waitForOutput(std::string_view text, std::size_t from = 0,
                       std::chrono::milliseconds limit = kLimit) {
        const auto deadline = Clock::now() + limit;
        while (printed.find(text, std::min(from, printed.size())) == std::string::npos) {
            if (Clock::now() >= deadline || !readSome(deadline)) {
                return false;
            }
        }
        return true;
    }

    void writeInput(std::string_view text) {
        ASSERT_EQ(::write(input, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    }
    void closeInput() {
        ::close(input);
        input = -1;
    }
    void signal(int number) {
        ::kill(pid, number);
    }

    // The wait status, or none when the program is still running at the limit.
    std::optional<int> waitForExit(std::chrono::milliseconds limit = kLimit) {
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) {
                pid = -1;
                return status;
            }
            // Keeps the output pipe from filling while waiting.
            readSome(std::min(deadline, Clock::now() + 10ms));
        }
        return std::nullopt;
    }

    const std::string& stdoutText() const {
        return printed;
    }

  protected:
    // Reads what standard output has within the deadline; false once it has ended.
    bool readSome(Clock::time_point deadline) {
        if (output < 0) {
            ::poll(nullptr, 0, std::min(remainingMs(deadline), 10)); // nothing left to read
            return false;
        }
        pollfd watched{output, POLLIN, 0};
        if (::poll(&watched, 1, remainingMs(deadline)) <= 0) {
            return true; // nothing yet
        }
        std::array<char, 4096> buffer;
        const ssize_t count = ::read(output, buffer.data(), buffer.size());
        if (count <= 0) {
            ::close(output);
            output = -1;
            return false;
        }
        printed.append(buffer.data(), static_cast<std::size_t>(count));
        return true;
    }

    std::string binary;
    pid_t pid = -1;
    int input = -1;
    int output = -1;
    std::string printed;
};

// A test that starts the program: a private folder, a free port and privateEnvironment().
class ProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/ravnix-process-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder = pattern;
        port = freeUdpPort();
        ASSERT_NE(port, 0);
        environment = privateEnvironment(folder);
    }
    void TearDown() override {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }
    std::filesystem::path logFolder() const { return folder / "state" / "ravnix"; }
    std::string errors() const { return readFile(folder / "stderr.txt"); }

    std::filesystem::path folder;
    std::uint16_t port = 0;
    std::vector<std::string> environment;
};

} // namespace ravnix::test
