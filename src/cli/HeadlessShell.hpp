#pragma once
// The application on a terminal, for machines without a desktop shell: the model's header line
// and the pairing confirmation go to an output stream, and typed commands come back as lines.
// It stands in for the three windows, so the model cannot tell it from the desktop shell.
//
// Order of construction: make the shell, put its windows into MacModel::Environment, make the
// model, attach() it. Threads: everything, the reading of commands included, runs on the main
// queue given in Options, and so do all calls into the shell.

#include "app/ConnectionDoctor.hpp"
#include "app/WindowControllers.hpp"
#include "platform/AsioMainQueue.hpp"
#include "platform/PlatformError.hpp"

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
#include <vector>

namespace ravnix {

class MacModel;

class HeadlessShell : public std::enable_shared_from_this<HeadlessShell> {
  public:
    // A typed line longer than this is cut there, and the rest of it is skipped.
    static constexpr std::size_t maximumLineLength = 4096;

    struct Options {
        FILE* output = stdout;
        // Its loop reads the commands; typed lines, the end of input and the refusals after it
        // are handled there.
        std::shared_ptr<AsioMainQueue> mainQueue;
        // The command `çık`: ends the program (the main queue's stop()).
        std::function<void()> quit;
        // What the user can do when posted input events do not reach the desktop.
        std::string permissionHint =
            "işaretçi olayları masaüstüne ulaşmıyor; ravnix'i bir X11 oturumunda başlatın";
        // For `durum`: the event backend and why it was chosen.
        std::string eventsDescription;
        // The command `izin`: asks the desktop for its permission again (the desktop shows its
        // own dialog). Empty when the event backend has nothing to ask.
        std::function<void()> requestPermission;
        // The command `doktor`: makes, on the main queue, the connection doctor's run for the
        // program as it is now. The run takes seconds, so it goes on a thread of its own, and
        // its lines are printed on the main queue when it is done. Empty: no doctor.
        std::function<std::function<std::vector<DoctorCheck>()>()> doctor;
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

    // Reads commands from `fd` (standard input in the program) on the main queue's loop until
    // its end or stopReading(). One line is handled per turn of the queue, so that work queued
    // meanwhile (a quit among it) comes between two lines, and nothing more is read while
    // lines wait. `fd` stays open and owned by the caller; the loop needs it non-blocking, and
    // its file status flags are put back when the reading ends.
    std::expected<void, PlatformError> startReading(int fd);
    // No line and no end of input is handled after this.
    void stopReading();

    // One typed line, as the reading hands them over.
    void handleLine(std::string_view line);
    // No more lines will come: pairing requests are refused from now on, the pending one too.
    void inputEnded();

  private:
    class Onboarding;
    class Pairing;
    class Guide;
    class Input;
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

    void readMore();
    void handleNextLine();

    void printHeader();
    void listDevices();
    void removeDevice(std::string_view argument);
    void setSpeed(std::string_view argument);
    void toggleRecording();
    void askPermission();
    void startDoctor();
    void doctorDone(const std::vector<DoctorCheck>& checks);
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
    // Shared with the reading's callbacks, which hold it weakly.
    std::shared_ptr<Input> input;
    // The doctor's run; joined before the next one and in the destructor (it ends by itself
    // within seconds).
    std::thread doctorThread;
    bool isDoctorRunning = false;
};

} // namespace ravnix
