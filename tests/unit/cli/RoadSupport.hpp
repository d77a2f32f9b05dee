#pragma once
// The whole road for the end-to-end tests: the desktop program and the phone program as a user
// starts them, each with private XDG folders and a file secret store, avahi on lo between
// them. Every wait is bounded and every child is killed in teardown.

#include "ProcessSupport.hpp"
#include "support/TestService.hpp"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace ravnix::test {

using namespace std::chrono_literals;

// A child program (the desktop or the phone) with the waits these tests need beyond the
// process tests' own: patterns, offsets into the output, exit codes.
class Child : public RavnixProcess {
  public:
    Child() : RavnixProcess(std::string()) {}

    bool start(const char* program, const std::vector<std::string>& arguments,
               const std::vector<std::string>& env, const std::filesystem::path& errorFile) {
        binary = program;
        errors = errorFile;
        return RavnixProcess::start(arguments, env, errorFile);
    }

    // Reads standard output until `pattern` matches somewhere in it; the match, or none.
    std::optional<std::string> waitFor(const std::regex& pattern, std::chrono::milliseconds limit,
                                       std::size_t from = 0) {
        const auto deadline = Clock::now() + limit;
        for (;;) {
            std::smatch match;
            const std::string tail = printed.substr(std::min(from, printed.size()));
            if (std::regex_search(tail, match, pattern)) {
                return match.str(match.size() > 1 ? 1 : 0);
            }
            if (Clock::now() >= deadline || !readSome(deadline)) {
                return std::nullopt;
            }
        }
    }
    bool waitFor(std::string_view text, std::chrono::milliseconds limit, std::size_t from = 0) {
        return waitForOutput(text, from, limit);
    }

    void write(std::string_view text) { writeInput(text); }

    // The exit code (128 + signal when killed), or none when still running at the limit.
    std::optional<int> waitForExit(std::chrono::milliseconds limit) {
        const auto status = RavnixProcess::waitForExit(limit);
        while (status && readSome(Clock::now() + 50ms)) {
        }
        return status ? std::optional(WIFEXITED(*status) ? WEXITSTATUS(*status)
                                                         : 128 + WTERMSIG(*status))
                      : std::nullopt;
    }

    std::string text() const { return printed + readFile(errors); }
    std::size_t printedSize() const { return printed.size(); }

  private:
    std::filesystem::path errors;
};

inline const std::regex kCodeLine("(?:^|\\n)(\\d{3} \\d{3})\\n");

// One desktop and one phone, each with its own folders; the desktop runs until teardown.
class Road {
  public:
    // `desktopEnvironment`: what the desktop sees beyond its folders and the system bus (its
    // display, or its session bus); `events`: its --events option.
    bool setUp(const TestService& avahi, const std::vector<std::string>& desktopEnvironment,
               const std::string& events) {
        char pattern[] = "/tmp/ravnix-road-XXXXXX";
        if (mkdtemp(pattern) == nullptr) {
            return false;
        }
        folder = pattern;
        port = freeUdpPort();
        const std::string systemBus = "DBUS_SYSTEM_BUS_ADDRESS=" + avahi["DBUS_SYSTEM_BUS_ADDRESS"];
        phoneEnv = privateEnvironment(folder / "phone", {systemBus});
        auto desktopOverrides = desktopEnvironment;
        desktopOverrides.push_back(systemBus);
        desktopEnv = privateEnvironment(folder / "desktop", desktopOverrides);
        return port != 0 &&
               desktop.start(
                   RAVNIX_BINARY,
                   {"--headless", events, "--port", std::to_string(port), "--secret-store=file"},
                   desktopEnv, folder / "desktop-stderr.txt") &&
               desktop.waitFor("durum: ", 10s);
    }
    ~Road() {
        std::error_code ignored;
        std::filesystem::remove_all(folder, ignored);
    }

    // Runs the phone program to its end; its exit status and everything it wrote.
    struct Run {
        std::optional<int> status;
        std::string text;
    };
    Run phone(std::vector<std::string> arguments, std::chrono::milliseconds limit = 12s) {
        arguments.push_back("--secret-store=file");
        Child child;
        if (!child.start(RAVNIX_PHONE_BINARY, arguments, phoneEnv, folder / "phone-stderr.txt")) {
            return {};
        }
        const auto status = child.waitForExit(limit);
        return {status, child.text()};
    }

    // The desktop's service name, as the phone's browser lists it with our port.
    std::optional<std::string> desktopName() {
        Child browse;
        if (!browse.start(RAVNIX_PHONE_BINARY, {"browse", "--seconds", "5"}, phoneEnv,
                          folder / "browse-stderr.txt")) {
            return std::nullopt;
        }
        return browse.waitFor(
            std::regex("\\n  (.+) · id=[^\\n]* · udp=" + std::to_string(port) + "\\n"), 6s);
    }

    // The whole pairing with both confirmations; the two codes shown and the phone's end.
    struct Pairing {
        std::string desktopCode;
        std::string phoneCode;
        std::optional<int> status;
        std::string phoneText;
        bool desktopClosed = false;
    };
    Pairing pair(bool desktopAccepts = true, bool phoneAccepts = true) {
        Pairing result;
        const auto name = desktopName();
        if (!name) {
            result.phoneText = "the desktop was not listed by browse";
            return result;
        }
        Child phone;
        if (!phone.start(RAVNIX_PHONE_BINARY,
                         {"pair", *name, "--name", "Test telefonu", "--model", "Yapay",
                          "--secret-store=file"},
                         phoneEnv, folder / "pair-stderr.txt")) {
            return result;
        }
        const std::size_t before = desktop.printedSize();
        result.desktopCode = desktop.waitFor(kCodeLine, 8s, before).value_or("");
        result.phoneCode = phone.waitFor(kCodeLine, 8s).value_or("");
        if (phone.waitFor("(evet/hayır): ", 3s)) {
            phone.write(phoneAccepts ? "evet\n" : "hayır\n");
        }
        if (!phoneAccepts) {
            // The phone's refusal closes the desktop's question; nobody answers it.
            result.status = phone.waitForExit(8s);
            result.phoneText = phone.text();
            result.desktopClosed = desktop.waitFor("eşleştirme isteği kapandı", 3s, before);
            return result;
        }
        if (desktop.waitFor("(evet/hayır): ", 3s, before)) {
            desktop.write(desktopAccepts ? "evet\n" : "hayır\n");
        }
        result.status = phone.waitForExit(8s);
        result.phoneText = phone.text();
        return result;
    }

    std::filesystem::path desktopLogs() const { return folder / "desktop" / "state" / "ravnix"; }
    std::string clickLog() const { return readFile(desktopLogs() / "tiklama.log"); }

    std::filesystem::path folder;
    std::uint16_t port = 0;
    std::vector<std::string> desktopEnv;
    std::vector<std::string> phoneEnv;
    Child desktop;
};

} // namespace ravnix::test
