#pragma once
// What the measuring programs share: a service of the tests started beside them, the wait for a
// backend's trust, and the percentiles of their samples.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace ravnix::bench {

// The sample at fraction `p` (0..1) of the sorted samples.
inline double percentile(std::vector<double> values, double p) {
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// tests/support/<name>.sh started in a temporary folder for the life of this object. `env`
// holds its settings; `skip` says why it is not there (empty when it runs).
class BenchService {
  public:
    explicit BenchService(std::string serviceName) : name(std::move(serviceName)) {
        char pattern[] = "/tmp/ravnix-bench.XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            skip = "no temporary folder";
            return;
        }
        folder = pattern;
        if (!run("start")) {
            skip = "tests/support/" + name + ".sh did not run";
            return;
        }
        std::ifstream in(folder + "/" + name + ".env");
        for (std::string line; std::getline(in, line);) {
            if (const auto eq = line.find('='); eq != std::string::npos) {
                env[line.substr(0, eq)] = line.substr(eq + 1);
            }
        }
        if (const auto found = env.find("SKIP"); found != env.end()) {
            skip = found->second;
        }
    }
    ~BenchService() {
        if (!folder.empty()) {
            run("stop");
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
        }
    }
    BenchService(const BenchService&) = delete;
    BenchService& operator=(const BenchService&) = delete;

    std::map<std::string, std::string> env;
    std::string skip;

  private:
    bool run(const std::string& action) {
        const std::string script =
            std::string(RAVNIX_SOURCE_DIR) + "/tests/support/" + name + ".sh";
        char* argv[] = {const_cast<char*>(script.c_str()), const_cast<char*>(action.c_str()),
                        folder.data(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        pid_t pid = -1;
        const bool spawned =
            ::posix_spawn(&pid, script.c_str(), &actions, nullptr, argv, environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        return spawned && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
               WEXITSTATUS(status) == 0;
    }

    std::string name;
    std::string folder;
};

// Hands a backend's trust callback out and waits until it reports trust.
class TrustLatch {
  public:
    std::function<void(bool, const std::string&)> callback() {
        return [this](bool value, const std::string&) {
            {
                std::lock_guard lock(trustLock);
                trusted = value;
            }
            trustChanged.notify_all();
        };
    }
    bool wait(std::chrono::seconds limit) {
        std::unique_lock lock(trustLock);
        return trustChanged.wait_for(lock, limit, [&] { return trusted; });
    }

  private:
    std::mutex trustLock;
    std::condition_variable trustChanged;
    bool trusted = false;
};

} // namespace ravnix::bench
