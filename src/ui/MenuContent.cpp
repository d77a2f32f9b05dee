#include "ui/MenuContent.hpp"

#include "transport/CFormat.hpp"

#include <QCheckBox>
#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QSlider>
#include <QToolButton>
#include <QVBoxLayout>
#include <cmath>

namespace ravnix {

namespace {

const QColor red(0xE0, 0x44, 0x3E);
const QColor green(0x2F, 0xA8, 0x4F);
const QColor orange(0xF2, 0x9D, 0x38);
const QString secondary = QStringLiteral("color: palette(placeholder-text);");

enum class Size { smallest, caption, callout, headline };

QFont fontOf(Size size, bool monospaced = false) {
    QFont font = monospaced ? QFontDatabase::systemFont(QFontDatabase::FixedFont) : QFont();
    const qreal base = QFont().pointSizeF() > 0 ? QFont().pointSizeF() : 10.0;
    switch (size) {
    case Size::smallest:
        font.setPointSizeF(base * 0.75);
        break;
    case Size::caption:
        font.setPointSizeF(base * 0.85);
        break;
    case Size::callout:
        font.setPointSizeF(base * 0.95);
        break;
    case Size::headline:
        font.setPointSizeF(base);
        font.setBold(true);
        break;
    }
    return font;
}

QLabel* label(const QString& text, Size size, const QString& style = {}, bool mono = false) {
    auto* made = new QLabel(text);
    made->setFont(fontOf(size, mono));
    made->setStyleSheet(style);
    made->setWordWrap(true);
    return made;
}

QString colourStyle(const QColor& colour) {
    return QStringLiteral("color: %1;").arg(colour.name());
}

QString fromUtf8(const std::string& text) {
    return QString::fromStdString(text);
}

QPushButton* plainButton(const QString& text, Size size) {
    auto* button = new QPushButton(text);
    button->setFlat(true);
    button->setFont(fontOf(size));
    button->setCursor(Qt::PointingHandCursor);
    return button;
}

// The 8-point status dot.
QPixmap dotPixmap(const QColor& colour, qreal ratio) {
    QPixmap pixmap(QSize(8, 8) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawEllipse(QRectF(0, 0, 8, 8));
    return pixmap;
}

// A small phone outline for the device rows.
QPixmap phonePixmap(const QColor& colour, qreal ratio) {
    QPixmap pixmap(QSize(10, 15) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 1.2));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(QRectF(0.6, 0.6, 8.8, 13.8), 2.0, 2.0);
    painter.drawLine(QPointF(3.5, 12.2), QPointF(6.5, 12.2));
    return pixmap;
}

void clear(QLayout* layout) {
    while (auto* item = layout->takeAt(0)) {
        if (auto* widget = item->widget()) {
            widget->deleteLater();
            widget->hide();
        }
        if (auto* inner = item->layout()) {
            clear(inner);
        }
        delete item;
    }
}

} // namespace

int MenuContent::sliderPosition(double factor) {
    return static_cast<int>(std::lround(factor * 1000.0));
}

double MenuContent::factorAt(int position) {
    return position / 1000.0;
}

MenuContent::MenuContent(std::shared_ptr<MacModel> m, Actions a, QString versionLabel,
                         QWidget* parent)
    : QWidget(parent), model(std::move(m)), actions(std::move(a)) {
    setFixedWidth(panelWidth);
    auto* stack = new QVBoxLayout(this);
    stack->setSpacing(14);
    stack->setContentsMargins(16, 16, 16, 16);

    // Header.
    auto* header = new QHBoxLayout();
    header->setSpacing(8);
    dot = new QLabel();
    dot->setFixedSize(8, 8);
    header->addWidget(dot, 0, Qt::AlignTop | Qt::AlignHCenter);
    auto* titleColumn = new QVBoxLayout();
    titleColumn->setSpacing(2);
    auto* titleRow = new QHBoxLayout();
    titleRow->addWidget(label(QStringLiteral("Ravnix"), Size::headline));
    titleRow->addWidget(label(versionLabel, Size::smallest, secondary, true), 0, Qt::AlignBottom);
    titleRow->addStretch();
    titleColumn->addLayout(titleRow);
    status = label({}, Size::caption, secondary);
    titleColumn->addWidget(status);
    header->addLayout(titleColumn, 1);
    stack->addLayout(header);

    // Devices.
    devicesBlock = new QWidget();
    auto* devices = new QVBoxLayout(devicesBlock);
    devices->setContentsMargins(0, 0, 0, 0);
    devices->setSpacing(6);
    devices->addWidget(label(QStringLiteral("Eşleşmiş cihazlar"), Size::caption, secondary));
    storageLine = label({}, Size::smallest, colourStyle(red));
    devices->addWidget(storageLine);
    emptyLine = label(QStringLiteral("Henüz eşleşmiş cihaz yok. iPhone'daki Ravnix'i açıp bu "
                                     "Mac'i seç."),
                      Size::smallest, secondary);
    devices->addWidget(emptyLine);
    rows = new QVBoxLayout();
    rows->setSpacing(6);
    devices->addLayout(rows);
    stack->addWidget(devicesBlock);

    // Speed.
    speedBlock = new QWidget();
    auto* speed = new QVBoxLayout(speedBlock);
    speed->setContentsMargins(0, 0, 0, 0);
    speed->setSpacing(2);
    auto* speedRow = new QHBoxLayout();
    speedRow->addWidget(label(QStringLiteral("İmleç hızı"), Size::caption, secondary));
    speedValue = label({}, Size::caption, secondary, true);
    speedValue->setWordWrap(false);
    speedRow->addWidget(speedValue);
    speedRow->addStretch();
    speed->addLayout(speedRow);
    slider = new QSlider(Qt::Horizontal);
    slider->setRange(sliderPosition(MacModel::minimumSpeed),
                     sliderPosition(MacModel::maximumSpeed));
    connect(slider, &QSlider::valueChanged, this,
            [this](int position) { model->setSpeedMultiplier(factorAt(position)); });
    speed->addWidget(slider);
    stack->addWidget(speedBlock);

    // Permission.
    permissionBlock = new QWidget();
    auto* permission = new QVBoxLayout(permissionBlock);
    permission->setContentsMargins(0, 0, 0, 0);
    permission->setSpacing(8);
    permission->addWidget(label(QStringLiteral("Ravnix, imleci hareket ettirebilmek için "
                                               "Erişilebilirlik iznine ihtiyaç duyar."),
                                Size::callout));
    permission->addWidget(label(QStringLiteral("Sistem Ayarları açılacak. Listeden Ravnix'i "
                                               "işaretle; uygulama izni kendiliğinden algılar."),
                                Size::caption, secondary));
    auto* openSettings = new QPushButton(QStringLiteral("Sistem Ayarları'nı Aç"));
    openSettings->setDefault(true);
    connect(openSettings, &QPushButton::clicked, this,
            [this] { model->openAccessibilitySettings(); });
    permission->addWidget(openSettings, 0, Qt::AlignLeft);
    // Which event system asks for the permission, and why it was chosen.
    eventsLine = label({}, Size::smallest, secondary);
    eventsLine->setVisible(false);
    permission->addWidget(eventsLine);
    stack->addWidget(permissionBlock);

    auto* divider = new QFrame();
    divider->setFrameShape(QFrame::HLine);
    divider->setFrameShadow(QFrame::Sunken);
    stack->addWidget(divider);

    // Guide.
    guide = plainButton(QStringLiteral("Dokunma Kılavuzu"), Size::callout);
    guide->setStyleSheet(QStringLiteral("text-align: left;"));
    guide->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(guide, &QPushButton::clicked, this, [this] {
        model->logLine("dugme: kilavuz");
        if (actions.showGuide) {
            actions.showGuide();
        }
    });
    stack->addWidget(guide);

    // Developer group, collapsed at first.
    developerButton = new QToolButton();
    developerButton->setText(QStringLiteral("Geliştirici"));
    developerButton->setFont(fontOf(Size::caption));
    developerButton->setCheckable(true);
    developerButton->setAutoRaise(true);
    developerButton->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    developerButton->setArrowType(Qt::RightArrow);
    stack->addWidget(developerButton);
    developerBlock = new QWidget();
    auto* developer = new QVBoxLayout(developerBlock);
    developer->setContentsMargins(12, 0, 0, 0);
    developer->setSpacing(4);
    auto* recordingRow = new QHBoxLayout();
    recording = new QCheckBox();
    connect(recording, &QCheckBox::toggled, this, [this](bool on) {
        if (on != model->isRecording()) {
            model->toggleRecording();
        }
    });
    recordingRow->addWidget(recording, 0, Qt::AlignTop);
    auto* recordingColumn = new QVBoxLayout();
    recordingColumn->setSpacing(0);
    recordingColumn->addWidget(label(QStringLiteral("Hareket kaydı"), Size::caption));
    recordingState = label({}, Size::smallest, secondary);
    recordingColumn->addWidget(recordingState);
    recordingRow->addLayout(recordingColumn, 1);
    developer->addLayout(recordingRow);
    statistics = new QVBoxLayout();
    statistics->setSpacing(1);
    developer->addLayout(statistics);
    auto* openFolder = plainButton(QStringLiteral("Kayıt klasörünü aç"), Size::caption);
    connect(openFolder, &QPushButton::clicked, this, [this] { model->openLogFolder(); });
    developer->addWidget(openFolder, 0, Qt::AlignLeft);
    if (actions.checkConnection) {
        checkConnection = plainButton(QStringLiteral("Bağlantıyı denetle"), Size::caption);
        connect(checkConnection, &QPushButton::clicked, this, [this] {
            model->logLine("dugme: doktor");
            actions.checkConnection();
        });
        developer->addWidget(checkConnection, 0, Qt::AlignLeft);
    }
    developerBlock->setVisible(false);
    connect(developerButton, &QToolButton::toggled, this, [this](bool open) {
        developerButton->setArrowType(open ? Qt::DownArrow : Qt::RightArrow);
        developerBlock->setVisible(open);
        adjustSize();
    });
    stack->addWidget(developerBlock);

    // Footer.
    auto* footer = new QHBoxLayout();
    setup = plainButton(QStringLiteral("Kurulumu Göster"), Size::caption);
    setup->setStyleSheet(secondary);
    connect(setup, &QPushButton::clicked, this, [this] {
        model->logLine("dugme: kurulum");
        if (actions.showOnboarding) {
            actions.showOnboarding();
        }
    });
    quitter = plainButton(QStringLiteral("Çık"), Size::caption);
    quitter->setStyleSheet(secondary);
    connect(quitter, &QPushButton::clicked, this, [this] {
        if (actions.quit) {
            actions.quit();
        }
    });
    footer->addWidget(setup);
    footer->addStretch();
    footer->addWidget(quitter);
    stack->addLayout(footer);

    subscription = model->subscribe([this](MacModel::Field) { render(); });
    render();
}

MenuContent::~MenuContent() {
    model->unsubscribe(subscription);
}

void MenuContent::setEventsDescription(const QString& text) {
    eventsLine->setText(text.isEmpty() ? QString() : QStringLiteral("Olay sistemi: ") + text);
    eventsLine->setVisible(!text.isEmpty());
    adjustSize();
}

QString MenuContent::eventsDescription() const {
    return eventsLine->text();
}

void MenuContent::render() {
    colour = !model->isTrusted() ? red : model->isLinkActive() ? green : orange;
    dot->setPixmap(dotPixmap(colour, devicePixelRatioF()));
    status->setText(fromUtf8(model->headerText()));

    const bool trusted = model->isTrusted();
    devicesBlock->setVisible(trusted);
    speedBlock->setVisible(trusted);
    permissionBlock->setVisible(!trusted);

    const auto& problem = model->storageProblem();
    storageLine->setVisible(problem.has_value());
    if (problem) {
        storageLine->setText(QStringLiteral("Eşleştirmeler saklanamıyor: ") + fromUtf8(*problem));
    }
    emptyLine->setVisible(model->pairedDevices().empty());
    renderDevices();

    speedValue->setText(fromUtf8(formatC("%.2f×", model->speedMultiplier())));
    const int position = sliderPosition(model->speedMultiplier());
    if (slider->value() != position && !slider->isSliderDown()) {
        const QSignalBlocker quiet(slider);
        slider->setValue(position);
    }
    renderDeveloper();
    adjustSize();
}

void MenuContent::renderDevices() {
    const bool active = model->isLinkActive();
    const QString linkState = !active                      ? QString()
                              : model->stats().isPeerRoute ? QStringLiteral("AirDrop ile bağlı")
                                                           : QStringLiteral("Wi-Fi ile bağlı");
    if (shownDevices == model->pairedDevices() && shownLinkState == linkState &&
        rows->count() == static_cast<int>(shownDevices.size())) {
        return;
    }
    shownDevices = model->pairedDevices();
    shownLinkState = linkState;
    clear(rows);
    for (const auto& record : shownDevices) {
        auto* row = new QWidget();
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(8);
        auto* icon = new QLabel();
        icon->setPixmap(phonePixmap(palette().color(QPalette::WindowText), devicePixelRatioF()));
        line->addWidget(icon, 0, Qt::AlignVCenter);
        auto* column = new QVBoxLayout();
        column->setSpacing(0);
        auto* name = label(fromUtf8(record.displayName), Size::caption);
        name->setObjectName(QStringLiteral("name"));
        column->addWidget(name);
        auto* state = linkState.isEmpty() ? label(fromUtf8(record.model), Size::smallest, secondary)
                                          : label(linkState, Size::smallest, colourStyle(green));
        state->setObjectName(QStringLiteral("state"));
        column->addWidget(state);
        line->addLayout(column, 1);
        auto* remove = plainButton(QStringLiteral("Kaldır"), Size::caption);
        remove->setObjectName(QStringLiteral("remove"));
        remove->setStyleSheet(colourStyle(red));
        // The rows are rebuilt by the notifications unpair sends; their widgets go later.
        connect(remove, &QPushButton::clicked, this, [this, record] { model->unpair(record); });
        line->addWidget(remove, 0, Qt::AlignVCenter);
        rows->addWidget(row);
    }
}

void MenuContent::renderDeveloper() {
    {
        const QSignalBlocker quiet(recording);
        recording->setChecked(model->isRecording());
    }
    recordingState->setText(
        model->isRecording()
            ? fromUtf8(formatC("%lld", static_cast<long long>(
                                           model->interpreter()->diagnostics()->count())) +
                       " satır bellekte")
            : QStringLiteral("kapalı"));

    const auto& stats = model->stats();
    struct Row {
        QString label;
        std::string value;
        bool shown;
    };
    const Row table[] = {
        {QStringLiteral("Dokunma paketi"), std::to_string(stats.touchPackets), true},
        {QStringLiteral("Kayıp"), std::to_string(stats.lostPackets), true},
        {QStringLiteral("Hız"), formatC("%.0f/sn", stats.packetsPerSecond), true},
        {QStringLiteral("İmzasız"), std::to_string(stats.rejectedPackets),
         stats.rejectedPackets > 0},
        {QStringLiteral("Sürüm uyuşmazlığı"), std::to_string(stats.versionMismatches),
         stats.versionMismatches > 0},
        {QStringLiteral("Sıçrama kelepçesi"), std::to_string(stats.clampedJumps),
         stats.clampedJumps > 0},
    };
    clear(statistics);
    for (const auto& row : table) {
        if (!row.shown) {
            continue;
        }
        auto* line = new QHBoxLayout();
        line->addWidget(label(row.label, Size::smallest, secondary, true));
        line->addStretch();
        auto* value = label(fromUtf8(row.value), Size::smallest, {}, true);
        value->setObjectName(QStringLiteral("value"));
        line->addWidget(value);
        statistics->addLayout(line);
    }
}

// ---- read back for tests ----------------------------------------------------------------

QString MenuContent::headerLine() const {
    return status->text();
}

QColor MenuContent::dotColour() const {
    return colour;
}

QStringList MenuContent::deviceLines() const {
    QStringList lines;
    for (int i = 0; i < rows->count(); ++i) {
        auto* row = rows->itemAt(i)->widget();
        if (!row) {
            continue;
        }
        lines << row->findChild<QLabel*>(QStringLiteral("name"))->text() + "|" +
                     row->findChild<QLabel*>(QStringLiteral("state"))->text();
    }
    return lines;
}

QStringList MenuContent::statisticLines() const {
    QStringList lines;
    for (int i = 0; i < statistics->count(); ++i) {
        auto* line = statistics->itemAt(i)->layout();
        if (!line || line->count() < 3) {
            continue;
        }
        auto* name = qobject_cast<QLabel*>(line->itemAt(0)->widget());
        auto* value = qobject_cast<QLabel*>(line->itemAt(2)->widget());
        if (name && value) {
            lines << name->text() + " " + value->text();
        }
    }
    return lines;
}

QString MenuContent::recordingText() const {
    return recordingState->text();
}

QString MenuContent::speedText() const {
    return speedValue->text();
}

bool MenuContent::isPermissionBlockShown() const {
    return !permissionBlock->isHidden();
}

bool MenuContent::isDevicesBlockShown() const {
    return !devicesBlock->isHidden();
}

QPushButton* MenuContent::removeButton(int index) const {
    if (index < 0 || index >= rows->count()) {
        return nullptr;
    }
    auto* row = rows->itemAt(index)->widget();
    return row ? row->findChild<QPushButton*>(QStringLiteral("remove")) : nullptr;
}

} // namespace ravnix
