#pragma once
// The application on a terminal, for machines without a desktop shell: the model's header line
// and the pairing confirmation go to an output stream, and typed commands come back as lines.
// It stands in for the three windows, so the model cannot tell it from the desktop shell.
//
// Order of construction: make the shell, put its windows into MacModel::Environment, make the
// model, attach() it. Threads: everything but the line reader's own thread is on the main
// queue given in Options.

#include "app/WindowControllers.hpp"
#include "platform/PlatformError.hpp"
#include "platform/SerialQueue.hpp"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace ravnix {

class MacModel;

// Reads lines from a file descriptor on a thread of its own and hands each one out, without
// its line end ("\n" or "\r\n"). A line longer than maximumLineLength is cut there. At most
// maximumPending lines are out at once: a line stays out until its ticket is destroyed, so a
// consumer that falls behind makes the thread wait instead of piling lines up.
class LineReader {
  public:
    static constexpr std::size_t maximumLineLength = 4096;
    static constexpr std::size_t maximumPending = 64;

    struct State; // the count of lines out, shared with the tickets

    // Held by whoever handles a line; destroying it (also unrun, in a dropped task) lets the
    // reader hand out the next line.
    class Ticket {
      public:
        explicit Ticket(std::shared_ptr<State> state) noexcept : state_(std::move(state)) {}
        ~Ticket();
        Ticket(Ticket&&) noexcept = default;
        Ticket& operator=(Ticket&&) = delete;
        Ticket(const Ticket&) = delete;
        Ticket& operator=(const Ticket&) = delete;

      private:
        std::shared_ptr<State> state_;
    };

    // Both run on the reader's thread. onEnd comes once, after the last line, when the
    // descriptor reports its end or an error, and never after stop().
    using LineHandler = std::function<void(std::string line, Ticket ticket)>;
    using EndHandler = std::function<void()>;

    // Starts the thread. `fd` stays open and owned by the caller, and must outlive the reader.
    static std::expected<std::unique_ptr<LineReader>, PlatformError>
    start(int fd, LineHandler onLine, EndHandler onEnd);
    ~LineReader();
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    // Ends the thread, also when it waits for input or for a ticket, and joins it; no handler
    // runs afterwards. Not from a handler.
    void stop();

  private:
    LineReader(int fd, int wakeRead, int wakeWrite, std::shared_ptr<State> state);
    void run(const LineHandler& onLine, const EndHandler& onEnd);
    // Waits for room among the lines out; false when stopping.
    bool takeTicket();

    const int fd;
    const int wakeRead; // the stop pipe: a byte here ends poll()
    const int wakeWrite;
    const std::shared_ptr<State> state;
    std::thread thread;
};

class HeadlessShell : public std::enable_shared_from_this<HeadlessShell> {
  public:
    struct Options {
        FILE* output = stdout;
        // Where typed lines are handled and where the refusals after the end of input go.
        std::shared_ptr<SerialQueue> mainQueue;
        // The command `çık`: ends the program (the main queue's stop()).
        std::function<void()> quit;
        // What the user can do when posted input events do not reach the desktop.
        std::string permissionHint =
            "işaretçi olayları masaüstüne ulaşmıyor; ravnix'i bir X11 oturumunda başlatın";
    };

    static std::shared_ptr<HeadlessShell> make(Options options);
    ~HeadlessShell();
    HeadlessShell(const HeadlessShell&) = delete;
    HeadlessShell& operator=(const HeadlessShell&) = delete;

    // The windows for MacModel::Environment. They hold the shell weakly, so the model that
    // keeps them does not keep the shell.
    std::shared_ptr<OnboardingWindowController> onboardingWindow() const { return onboarding; }
    std::shared_ptr<PairingWindowController> pairingWindow() const { return pairing; }
    std::shared_ptr<GestureGuideWindowController> guideWindow() const { return guide; }

    // Follows the model's header line (printed now, then at every change) and lets the
    // commands act on it. detach() lets go of it again; the model keeps the windows.
    void attach(std::shared_ptr<MacModel> model);
    void detach();

    // Reads commands from `fd` (standard input in the program) until its end or
    // stopReading(); every line is handled on the main queue, and so is the end.
    std::expected<void, PlatformError> startReading(int fd);
    void stopReading();

    // One typed line, as the reader hands them over.
    void handleLine(std::string_view line);
    // No more lines will come: pairing requests are refused from now on, the pending one too.
    void inputEnded();

  private:
    class Onboarding;
    class Pairing;
    class Guide;
    friend class Onboarding;
    friend class Pairing;
    friend class Guide;

    explicit HeadlessShell(Options options);

    void showOnboarding();
    void closeOnboarding();
    void showGuide();
    void showPairing(const PairingListener::Request& request,
                     PairingWindowController::Decision decision);
    void closePairing();
    void decide(bool accepted);
    void refuseForMissingInput(std::uint64_t requestNumber);
    void modelChanged();

    void printHeader();
    void listDevices();
    void removeDevice(std::string_view argument);
    void setSpeed(std::string_view argument);
    void toggleRecording();
    void printHelp();

    void print(std::string_view line);
    void prompt(std::string_view text);

    Options options;
    std::shared_ptr<OnboardingWindowController> onboarding;
    std::shared_ptr<PairingWindowController> pairing;
    std::shared_ptr<GestureGuideWindowController> guide;

    std::shared_ptr<MacModel> model;
    std::optional<int> subscription;
    std::optional<std::string> shownHeader;
    std::optional<std::string> shownError;

    struct PendingRequest {
        std::uint64_t number = 0;
        PairingWindowController::Decision decision;
    };
    std::optional<PendingRequest> pendingRequest;
    std::uint64_t requestsShown = 0;
    bool onboardingShown = false;
    bool promptOpen = false; // the last output is a prompt without its line end
    bool inputClosed = false;
    std::unique_ptr<LineReader> reader;
};

} // namespace ravnix
