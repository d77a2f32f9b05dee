#include "ui/DoctorWindow.hpp"

#include "ui/GuideStyle.hpp"
#include "ui/PairingWindow.hpp"

#include <QCoreApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <system_error>

namespace ravnix {

namespace {

constexpr int windowWidth = 560;

QLabel* wrapped(const QString& text, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    return label;
}

void clear(QVBoxLayout* layout) {
    while (auto* item = layout->takeAt(0)) {
        if (auto* widget = item->widget()) {
            widget->hide();
            widget->deleteLater();
        }
        delete item;
    }
}

} // namespace

DoctorWindow::DoctorWindow(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint) {
    setWindowTitle(QStringLiteral("Bağlantı denetimi"));
    setAttribute(Qt::WA_QuitOnClose, false);
    setFixedWidth(windowWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(20, 20, 20, 20);
    column->setSpacing(10);
    summary = wrapped({}, this);
    summary->setFont(guideFont(GuideType::calloutMedium));
    column->addWidget(summary);
    checkLines = new QVBoxLayout;
    checkLines->setSpacing(6);
    column->addLayout(checkLines);
    again = new QPushButton(QStringLiteral("Yeniden denetle"), this);
    connect(again, &QPushButton::clicked, this, [this] {
        if (onAgain) {
            onAgain();
        }
    });
    column->addWidget(again, 0, Qt::AlignLeft);
    showRunning();
}

void DoctorWindow::showRunning() {
    running = true;
    clear(checkLines);
    summary->setText(QStringLiteral("Bağlantı denetleniyor…"));
    again->setEnabled(false);
    adjustSize();
}

void DoctorWindow::showChecks(const std::vector<DoctorCheck>& checks) {
    running = false;
    clear(checkLines);
    int passed = 0;
    for (const auto& check : checks) {
        auto* line = wrapped(QString::fromStdString(doctorLine(check)), this);
        line->setObjectName(QStringLiteral("check"));
        QPalette palette = line->palette();
        palette.setColor(QPalette::WindowText,
                         check.passed ? confirmationGreen() : QColor(0xE0, 0x44, 0x3E));
        line->setPalette(palette);
        checkLines->addWidget(line);
        line->show(); // at once, so that the size below counts it
        passed += check.passed ? 1 : 0;
    }
    summary->setText(
        QStringLiteral("%1 denetimden %2 tanesi geçti").arg(checks.size()).arg(passed));
    again->setEnabled(true);
    adjustSize();
}

QStringList DoctorWindow::lines() const {
    if (running) {
        return {summary->text()};
    }
    QStringList shown;
    for (int i = 0; i < checkLines->count(); ++i) {
        if (auto* label = qobject_cast<QLabel*>(checkLines->itemAt(i)->widget())) {
            shown << label->text();
        }
    }
    return shown;
}

DoctorWindowController::DoctorWindowController(std::function<Run()> prepare, LogFunction log)
    : prepare(std::move(prepare)), log(std::move(log)),
      self(std::make_shared<DoctorWindowController*>(this)) {}

DoctorWindowController::~DoctorWindowController() {
    self.reset();
    if (thread.joinable()) {
        thread.join();
    }
}

void DoctorWindowController::start() {
    if (!window_) {
        window_ = std::make_unique<DoctorWindow>();
        window_->onAgain = [this] { start(); };
    }
    presentWindow(*window_, "doktor", log);
    if (isRunning || !prepare) {
        return;
    }
    if (thread.joinable()) {
        thread.join(); // the previous run, which has ended
    }
    window_->showRunning();
    if (log) {
        log("doktor: denetim basliyor");
    }
    try {
        // The result goes back to the main thread as an event of the application; the weak
        // pointer finds the controller gone if it went meanwhile.
        thread =
            std::thread([run = prepare(), weak = std::weak_ptr<DoctorWindowController*>(self)] {
                auto checks = run();
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [weak, checks = std::move(checks)]() mutable {
                        if (const auto controller = weak.lock()) {
                            (*controller)->finished(std::move(checks));
                        }
                    },
                    Qt::QueuedConnection);
            });
    } catch (const std::system_error& error) {
        window_->showChecks({{"doktor", false, std::string("başlatılamadı: ") + error.what(), ""}});
        return;
    }
    isRunning = true;
}

void DoctorWindowController::finished(std::vector<DoctorCheck> checks) {
    isRunning = false;
    std::size_t passed = 0;
    for (const auto& check : checks) {
        passed += check.passed ? 1 : 0;
    }
    if (log) {
        log("doktor: " + std::to_string(passed) + "/" + std::to_string(checks.size()) + " gecti");
    }
    if (window_) {
        window_->showChecks(checks);
    }
}

} // namespace ravnix
