#include "ui/OnboardingWindow.hpp"

#include "ui/GuideStyle.hpp"
#include "ui/PairingWindow.hpp"

#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHideEvent>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>
#include <array>
#include <optional>

namespace ravnix {

namespace {

struct Step {
    const char* title;
    const char* detail;
};

constexpr std::array<Step, 3> steps = {{
    {"Aşağıdaki düğmeye bas", "Sistem Ayarları doğrudan Erişilebilirlik bölmesinde açılır."},
    {"Listede Ravnix'i işaretle",
     "Uygulama listede hazır duruyor; sadece anahtarı çevirmen yeterli."},
    {"Buraya dön", "Gerisi kendiliğinden olur — yeniden başlatmaya gerek yok."},
}};

QFont sized(GuideType type, int pixels, QFont::Weight weight = QFont::Normal) {
    QFont font = guideFont(type);
    font.setPixelSize(pixels);
    font.setWeight(weight);
    return font;
}

QFont titleFont() {
    return sized(GuideType::title, 20, QFont::DemiBold);
}

QFont grantedFont() {
    return sized(GuideType::callout, 16, QFont::Medium);
}

QFont addressFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setPixelSize(16);
    return font;
}

QLabel* makeLabel(const QString& text, const QFont& font, QWidget* parent,
                  std::optional<QColor> colour = std::nullopt) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    if (colour) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, *colour);
        label->setPalette(palette);
    }
    return label;
}

QColor secondaryInk(const QWidget& widget) {
    return GuideInk::from(widget.palette()).secondary;
}

// The step number on a round accent badge.
class StepBadge : public QWidget {
  public:
    StepBadge(int number, QWidget* parent) : QWidget(parent), number(number) {
        setFixedSize(20, 20);
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(palette().color(QPalette::Highlight));
        painter.drawEllipse(QRectF(rect()));
        QFont font = guideFont(GuideType::captionSemibold);
        font.setWeight(QFont::Bold);
        painter.setFont(font);
        painter.setPen(Qt::white);
        painter.drawText(rect(), Qt::AlignCenter, QString::number(number));
    }

  private:
    int number;
};

// A small indeterminate spinner: twelve spokes, the bright one going round. It turns only
// while it is on screen.
class Spinner : public QWidget {
  public:
    explicit Spinner(QWidget* parent) : QWidget(parent) {
        setFixedSize(16, 16);
        turn.setInterval(80);
        connect(&turn, &QTimer::timeout, this, [this] {
            lead = (lead + 1) % spokes;
            update();
        });
    }

  protected:
    void showEvent(QShowEvent*) override { turn.start(); }
    void hideEvent(QHideEvent*) override { turn.stop(); }
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.translate(rect().center() + QPointF(0.5, 0.5));
        const QColor ink = palette().color(QPalette::WindowText);
        for (int i = 0; i < spokes; ++i) {
            const int age = (lead - i + spokes) % spokes;
            painter.setPen(
                QPen(withAlpha(ink, 1.0 - 0.07 * age), 1.6, Qt::SolidLine, Qt::RoundCap));
            painter.drawLine(QPointF(0, -3.5), QPointF(0, -7));
            painter.rotate(360.0 / spokes);
        }
    }

  private:
    static constexpr int spokes = 12;
    QTimer turn;
    int lead = 0;
};

// A finger drawing a stroke, for the guide button.
QIcon drawingHandIcon(const QColor& ink) {
    constexpr int size = 16;
    const qreal ratio = qGuiApp->devicePixelRatio();
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(ink, 1.4, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    QPainterPath stroke;
    stroke.moveTo(1.5, 12);
    stroke.cubicTo(4, 6, 6, 15, 9, 9);
    painter.drawPath(stroke);
    painter.setBrush(ink);
    painter.drawRoundedRect(QRectF(9.5, 1.5, 4, 9), 2, 2);
    return QIcon(pixmap);
}

} // namespace

OnboardingWindow::OnboardingWindow(std::weak_ptr<MacModel> weakModel, std::function<void()> guide,
                                   std::function<void()> finished, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint),
      model(std::move(weakModel)), showGuide(std::move(guide)), onFinished(std::move(finished)) {
    setWindowTitle(QStringLiteral("Ravnix"));
    // The controller keeps the window when the user closes it, and the tray application
    // goes on without it.
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);
    finishTimer.setSingleShot(true);
    finishTimer.setInterval(finishDelay);
    connect(&finishTimer, &QTimer::timeout, this, [this] { finish(); });

    const auto current = model.lock();
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(28, 28, 28, 28);
    column->setSpacing(20);
    auto* heading = new QVBoxLayout;
    heading->setSpacing(6);
    heading->addWidget(makeLabel(QStringLiteral("Ravnix'i etkinleştir"), titleFont(), this));
    auto* subtitle = makeLabel(
        QStringLiteral("iPhone'unu Mac'in trackpad'ine çevirmek için tek bir izin gerekiyor."),
        guideFont(GuideType::callout), this, secondaryInk(*this));
    subtitle->setWordWrap(true);
    heading->addWidget(subtitle);
    column->addLayout(heading);
    waiting = buildWaiting();
    granted = current ? buildGranted(*current) : new QWidget(this);
    column->addWidget(waiting);
    column->addWidget(granted);
    column->addStretch(1);

    if (current) {
        subscription = current->subscribe([this](MacModel::Field field) { modelChanged(field); });
    }
    render(current && current->isTrusted());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
}

OnboardingWindow::~OnboardingWindow() {
    if (auto current = model.lock(); current && subscription != 0) {
        current->unsubscribe(subscription);
    }
}

QWidget* OnboardingWindow::buildWaiting() {
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("waiting"));
    const QColor secondary = secondaryInk(*this);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(16);

    auto* stepList = new QVBoxLayout;
    stepList->setSpacing(12);
    for (std::size_t i = 0; i < steps.size(); ++i) {
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        row->addWidget(new StepBadge(static_cast<int>(i) + 1, page), 0, Qt::AlignTop);
        auto* texts = new QVBoxLayout;
        texts->setSpacing(2);
        texts->addWidget(makeLabel(QString::fromUtf8(steps[i].title),
                                   guideFont(GuideType::calloutMedium), page));
        auto* detail = makeLabel(QString::fromUtf8(steps[i].detail), guideFont(GuideType::caption),
                                 page, secondary);
        detail->setWordWrap(true);
        texts->addWidget(detail);
        row->addLayout(texts, 1);
        stepList->addLayout(row);
    }
    column->addLayout(stepList);

    auto* actions = new QHBoxLayout;
    actions->setSpacing(12);
    auto* settings = new QPushButton(QStringLiteral("Sistem Ayarları'nı Aç"), page);
    settings->setObjectName(QStringLiteral("settingsButton"));
    makeProminent(*settings);
    connect(settings, &QPushButton::clicked, this, [this] {
        const auto current = model.lock();
        if (requestPermission) {
            if (current) {
                current->logLine("dugme: izin iste");
            }
            requestPermission(); // the desktop shows its own dialog
        } else if (current) {
            current->openAccessibilitySettings();
        }
    });
    actions->addWidget(settings);
    actions->addWidget(new Spinner(page));
    actions->addWidget(makeLabel(QStringLiteral("İzin bekleniyor…"), guideFont(GuideType::caption),
                                 page, secondary));
    actions->addStretch(1);
    column->addLayout(actions);

    auto* privacy =
        makeLabel(QStringLiteral("Ravnix bu izni yalnızca imleci hareket ettirmek ve tıklamak için "
                                 "kullanır. Dokunma verisi cihazından çıkmaz, hiçbir sunucuya "
                                 "gönderilmez."),
                  guideFont(GuideType::caption), page, secondary);
    privacy->setWordWrap(true);
    column->addWidget(privacy);
    return page;
}

QWidget* OnboardingWindow::buildGranted(const MacModel& current) {
    auto* page = new QWidget(this);
    page->setObjectName(QStringLiteral("granted"));
    const QColor secondary = secondaryInk(*this);
    auto* column = new QVBoxLayout(page);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(14);

    auto* grantedRow = new QHBoxLayout;
    grantedRow->setSpacing(6);
    auto* check = new QLabel(page);
    check->setPixmap(statusSymbol(StatusSymbol::checkmark, 17, confirmationGreen()));
    grantedRow->addWidget(check);
    grantedRow->addWidget(
        makeLabel(QStringLiteral("İzin verildi"), grantedFont(), page, confirmationGreen()));
    grantedRow->addStretch(1);
    column->addLayout(grantedRow);

    // The addresses are taken once at start-up, so they are laid out once.
    auto* addressBlock = new QVBoxLayout;
    addressBlock->setSpacing(4);
    addressBlock->addWidget(
        makeLabel(QStringLiteral("iPhone'daki Ravnix uygulamasına bu adresi gir:"),
                  guideFont(GuideType::callout), page));
    for (const std::string& address : current.addresses()) {
        auto* line =
            makeLabel(QString::fromStdString(address + ":" + std::to_string(current.port())),
                      addressFont(), page);
        line->setObjectName(QStringLiteral("address"));
        line->setTextInteractionFlags(Qt::TextSelectableByMouse);
        line->setCursor(Qt::IBeamCursor);
        addressBlock->addWidget(line);
    }
    column->addLayout(addressBlock);

    auto* guide = new QPushButton(QStringLiteral("Dokunma kılavuzunu aç"), page);
    guide->setObjectName(QStringLiteral("guideButton"));
    guide->setIcon(drawingHandIcon(palette().color(QPalette::ButtonText)));
    connect(guide, &QPushButton::clicked, this, [this] {
        if (auto current = model.lock()) {
            current->logLine("dugme: kilavuz");
        }
        if (showGuide) {
            showGuide();
        }
    });
    auto* guideRow = new QHBoxLayout;
    guideRow->addWidget(guide);
    guideRow->addStretch(1);
    column->addLayout(guideRow);

    column->addWidget(makeLabel(QStringLiteral("Ravnix menü çubuğunda çalışmaya devam ediyor."),
                                guideFont(GuideType::caption), page, secondary));
    return page;
}

void OnboardingWindow::render(bool trusted) {
    isShowingGranted_ = trusted;
    waiting->setVisible(!trusted);
    granted->setVisible(trusted);
    // Fixed width; the height of what is shown, wrapped at that width.
    layout()->invalidate();
    const int height = heightForWidth(fixedWidth);
    setFixedSize(fixedWidth, height > 0 ? height : sizeHint().height());
}

void OnboardingWindow::modelChanged(MacModel::Field field) {
    if (field != MacModel::Field::isTrusted) {
        return;
    }
    const auto current = model.lock();
    if (!current) {
        return;
    }
    const bool trusted = current->isTrusted();
    render(trusted);
    // Only a grant closes the window; a withdrawal leaves a pending close as it is.
    if (trusted) {
        finishTimer.start();
    }
}

void OnboardingWindow::finish() {
    finishTimer.stop();
    if (onFinished) {
        onFinished();
    }
}

void OnboardingWindow::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    // Closed while the close after the grant was pending: that close happens now. Posted,
    // because the controller drops the window in answer.
    if (!event->spontaneous() && finishTimer.isActive()) {
        finishTimer.stop();
        QMetaObject::invokeMethod(
            this, [this] { finish(); }, Qt::QueuedConnection);
    }
}

} // namespace ravnix
