#include "ui/PairingWindow.hpp"

#include "ui/GuideStyle.hpp"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace ravnix {

namespace {

constexpr int symbolSize = 14;

QFont headerFont() {
    QFont font = guideFont(GuideType::callout);
    font.setPixelSize(16);
    font.setWeight(QFont::DemiBold);
    return font;
}

QFont codeFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setStyleHint(QFont::Monospace);
    font.setFixedPitch(true);
    font.setPixelSize(40);
    font.setWeight(QFont::DemiBold);
    font.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    return font;
}

QFont noteFont() {
    QFont font = guideFont(GuideType::caption);
    font.setPixelSize(10);
    return font;
}

QLabel* makeLabel(const QString& text, const QFont& font, QWidget* parent,
                  const QColor* colour = nullptr) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    if (colour != nullptr) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, *colour);
        label->setPalette(palette);
    }
    return label;
}

// The confirmation number on a faint rounded plate across the window's width.
class NumberBox : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(palette().color(QPalette::WindowText), 0.05));
        painter.drawRoundedRect(QRectF(rect()), 10, 10);
    }
};

} // namespace

QColor confirmationGreen() {
    return QColor(48, 164, 82);
}

QPixmap statusSymbol(StatusSymbol symbol, int size, const QColor& ink) {
    const qreal ratio = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(QSize(size, size) * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    switch (symbol) {
    case StatusSymbol::checkmark: {
        painter.setPen(Qt::NoPen);
        painter.setBrush(confirmationGreen());
        painter.drawEllipse(QRectF(0.5, 0.5, s - 1, s - 1));
        QPen pen(Qt::white, s * 0.12, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(pen);
        painter.setBrush(Qt::NoBrush);
        QPainterPath check;
        check.moveTo(s * 0.29, s * 0.52);
        check.lineTo(s * 0.44, s * 0.67);
        check.lineTo(s * 0.72, s * 0.36);
        painter.drawPath(check);
        break;
    }
    case StatusSymbol::hourglass: {
        QPen pen(ink, qMax(1.0, s * 0.09), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        painter.setPen(pen);
        painter.drawLine(QPointF(s * 0.22, s * 0.1), QPointF(s * 0.78, s * 0.1));
        painter.drawLine(QPointF(s * 0.22, s * 0.9), QPointF(s * 0.78, s * 0.9));
        QPainterPath glass;
        glass.moveTo(s * 0.3, s * 0.1);
        glass.cubicTo(s * 0.3, s * 0.38, s * 0.46, s * 0.42, s * 0.46, s * 0.5);
        glass.cubicTo(s * 0.46, s * 0.58, s * 0.3, s * 0.62, s * 0.3, s * 0.9);
        glass.moveTo(s * 0.7, s * 0.1);
        glass.cubicTo(s * 0.7, s * 0.38, s * 0.54, s * 0.42, s * 0.54, s * 0.5);
        glass.cubicTo(s * 0.54, s * 0.58, s * 0.7, s * 0.62, s * 0.7, s * 0.9);
        painter.drawPath(glass);
        // The sand left at the bottom.
        painter.setPen(Qt::NoPen);
        painter.setBrush(ink);
        QPainterPath sand;
        sand.moveTo(s * 0.5, s * 0.66);
        sand.lineTo(s * 0.67, s * 0.86);
        sand.lineTo(s * 0.33, s * 0.86);
        sand.closeSubpath();
        painter.drawPath(sand);
        break;
    }
    }
    return pixmap;
}

void makeProminent(QPushButton& button) {
    const QPalette palette = button.palette();
    const QColor accent = palette.color(QPalette::Highlight);
    button.setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: %2; border: none;"
                       " border-radius: 5px; padding: 5px 14px; }"
                       "QPushButton:pressed { background-color: %3; }")
            .arg(accent.name(), palette.color(QPalette::HighlightedText).name(),
                 accent.darker(120).name()));
}

QString PairingWindow::formatCode(const std::string& code) {
    const QString text = QString::fromStdString(code);
    if (text.size() != 6) {
        return text;
    }
    return text.left(3) + QLatin1Char(' ') + text.mid(3);
}

PairingWindow::PairingWindow(PairingListener::Request request, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint),
      request_(std::move(request)) {
    setWindowTitle(QStringLiteral("Ravnix — Eşleştirme"));
    // Closing hides: the controller decides when the window goes; a tray application must
    // not quit with its last window.
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAttribute(Qt::WA_QuitOnClose, false);

    const GuideInk ink = GuideInk::from(palette());
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(26, 26, 26, 26);
    column->setSpacing(18);

    // Who asks.
    auto* header = new QVBoxLayout;
    header->setSpacing(5);
    header->addWidget(makeLabel(QStringLiteral("Bu iPhone eşleşmek istiyor"), headerFont(), this));
    auto* device =
        makeLabel(QString::fromStdString(request_.hello.displayName + " · " + request_.hello.model),
                  guideFont(GuideType::callout), this, &ink.secondary);
    device->setObjectName(QStringLiteral("device"));
    header->addWidget(device);
    column->addLayout(header);

    // The number to compare with the phone's.
    auto* box = new NumberBox(this);
    auto* boxColumn = new QVBoxLayout(box);
    boxColumn->setContentsMargins(0, 14, 0, 14);
    boxColumn->setSpacing(6);
    auto* code = makeLabel(formatCode(request_.code), codeFont(), box);
    code->setObjectName(QStringLiteral("code"));
    code->setAlignment(Qt::AlignCenter);
    code->setTextInteractionFlags(Qt::TextSelectableByMouse);
    auto* question = makeLabel(QStringLiteral("iPhone'unda görünen sayı bu mu?"),
                               guideFont(GuideType::callout), box, &ink.secondary);
    question->setAlignment(Qt::AlignCenter);
    boxColumn->addWidget(code);
    boxColumn->addWidget(question);
    column->addWidget(box);

    // Where the phone's user is.
    auto* stateRow = new QHBoxLayout;
    stateRow->setSpacing(8);
    auto* symbol = new QLabel(this);
    symbol->setObjectName(QStringLiteral("phoneStateSymbol"));
    symbol->setPixmap(
        statusSymbol(request_.phoneAccepted ? StatusSymbol::checkmark : StatusSymbol::hourglass,
                     symbolSize, ink.secondary));
    auto* state = makeLabel(request_.phoneAccepted ? QStringLiteral("iPhone onayladı, sıra sende")
                                                   : QStringLiteral("iPhone'daki onay bekleniyor"),
                            guideFont(GuideType::caption), this, &ink.secondary);
    state->setObjectName(QStringLiteral("phoneState"));
    stateRow->addWidget(symbol);
    stateRow->addWidget(state);
    stateRow->addStretch(1);
    column->addLayout(stateRow);

    // The answers. Return belongs to the accepting button wherever the focus is, so the
    // refusing one must not take it over when focused.
    auto* buttons = new QHBoxLayout;
    buttons->setSpacing(12);
    refuse = new QPushButton(QStringLiteral("Aynı değil"), this);
    refuse->setObjectName(QStringLiteral("refuseButton"));
    refuse->setAutoDefault(false);
    accept = new QPushButton(QStringLiteral("Evet, eşleştir"), this);
    accept->setObjectName(QStringLiteral("acceptButton"));
    accept->setAutoDefault(false);
    accept->setDefault(true);
    makeProminent(*accept);
    buttons->addWidget(refuse);
    buttons->addWidget(accept);
    buttons->addStretch(1);
    column->addLayout(buttons);
    connect(refuse, &QPushButton::clicked, this, [this] { decide(false); });
    connect(accept, &QPushButton::clicked, this, [this] { decide(true); });

    auto* note =
        makeLabel(QStringLiteral("Sayılar farklıysa eşleştirme ağdaki başka biri tarafından araya "
                                 "giriliyor olabilir. Farklıysa reddet."),
                  noteFont(), this, &ink.secondary);
    note->setWordWrap(true);
    column->addWidget(note);

    // Fixed width; the height the wrapped note needs at that width.
    const int height = heightForWidth(fixedWidth);
    setFixedSize(fixedWidth, height > 0 ? height : sizeHint().height());
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        move(screen->availableGeometry().center() - rect().center());
    }
    accept->setFocus();
}

PairingWindow::~PairingWindow() = default;

void PairingWindow::reject() {}

void PairingWindow::closeEvent(QCloseEvent* event) {
    // The window manager's close (spontaneous) is no answer; the controller's close is.
    if (event->spontaneous()) {
        event->ignore();
    } else {
        event->accept();
    }
}

void PairingWindow::decide(bool accepted) {
    if (hasDecided) {
        return;
    }
    hasDecided = true;
    emit decided(accepted);
}

} // namespace ravnix
