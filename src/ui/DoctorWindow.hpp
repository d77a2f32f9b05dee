#pragma once
// The connection doctor's result in a window of its own ("Bağlantı denetimi"), opened from the
// panel's developer section: one line per check, the failing ones red with their fix. The
// checks take seconds, so they run on a thread of their own; the window opens at once saying
// that they run, and fills in when they are done.
//
// Main thread only, but for the thread the controller starts.

#include "app/ConnectionDoctor.hpp"
#include "ui/WindowPresenter.hpp"

#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

class QLabel;
class QVBoxLayout;
class QPushButton;

namespace ravnix {

class DoctorWindow : public QWidget {
    Q_OBJECT
  public:
    explicit DoctorWindow(QWidget* parent = nullptr);

    void showRunning();
    void showChecks(const std::vector<DoctorCheck>& checks);

    // As shown: doctorLine() of each check, or the running note alone.
    QStringList lines() const;
    bool isRunning() const noexcept { return running; }
    // "Yeniden denetle"; it asks the controller through onAgain.
    QPushButton* againButton() const noexcept { return again; }
    std::function<void()> onAgain;

  private:
    QLabel* summary = nullptr;
    QVBoxLayout* checkLines = nullptr;
    QPushButton* again = nullptr;
    bool running = false;
};

class DoctorWindowController {
  public:
    // Makes the checks; any thread, it blocks for seconds.
    using Run = std::function<std::vector<DoctorCheck>()>;

    // `prepare` makes, on the main thread, the run for the program as it is then.
    DoctorWindowController(std::function<Run()> prepare, LogFunction log);
    // Waits for a run under way (it ends by itself within seconds).
    ~DoctorWindowController();
    DoctorWindowController(const DoctorWindowController&) = delete;
    DoctorWindowController& operator=(const DoctorWindowController&) = delete;

    // Brings the window forward under the tag "doktor" and starts the checks, unless they run
    // already.
    void start();

    DoctorWindow* window() const noexcept { return window_.get(); }

  private:
    void finished(std::vector<DoctorCheck> checks);

    std::function<Run()> prepare;
    LogFunction log;
    std::unique_ptr<DoctorWindow> window_;
    std::thread thread;
    bool isRunning = false;
    // Dropped with the controller, so that a result queued meanwhile finds it gone.
    std::shared_ptr<DoctorWindowController*> self;
};

} // namespace ravnix
