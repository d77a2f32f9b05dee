#include "ui/GuideMainArea.hpp"

#include "guide/GuidePlayback.hpp"
#include "ui/GuideStage.hpp"
#include "ui/GuideStepList.hpp"
#include "ui/GuideStyle.hpp"

#include <QCheckBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace ravnix {

// A bar 3 points high: a faint track and the accent-coloured part already played.
class GuideProgressBar : public QWidget {
  public:
    explicit GuideProgressBar(QWidget* parent) : QWidget(parent) {
        setFixedHeight(3);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    }

    void setProgress(double value) {
        const double next = std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.0;
        if (next != progress) {
            progress = next;
            update();
        }
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const GuideInk ink = GuideInk::from(palette());
        const QRectF track = rect();
        const double radius = track.height() / 2;
        painter.setBrush(ink.faint);
        painter.drawRoundedRect(track, radius, radius);
        if (progress > 0) {
            painter.setBrush(ink.accent);
            painter.drawRoundedRect(QRectF(0, 0, track.width() * progress, track.height()), radius,
                                    radius);
        }
    }

  private:
    double progress = 0;
};

// The information icon: a ring with a dot and a stem.
class GuideInfoIcon : public QWidget {
  public:
    explicit GuideInfoIcon(QWidget* parent) : QWidget(parent) { setFixedSize(14, 14); }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        const QColor colour = GuideInk::from(palette()).secondary;
        painter.setPen(QPen(colour, 1.2));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QRectF(0.6, 0.6, 12.8, 12.8));
        painter.setPen(Qt::NoPen);
        painter.setBrush(colour);
        painter.drawEllipse(QPointF(7, 4.2), 0.9, 0.9);
        painter.drawRoundedRect(QRectF(6.3, 6, 1.4, 4.6), 0.7, 0.7);
    }
};

// The demonstration's note beside the information icon, on a faint rounded background.
class GuideNote : public QWidget {
  public:
    explicit GuideNote(QWidget* parent) : QWidget(parent), text(new QLabel(this)) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(10, 10, 10, 10);
        row->setSpacing(8);
        row->addWidget(new GuideInfoIcon(this), 0, Qt::AlignTop);
        row->addWidget(text, 1);
        text->setObjectName(QStringLiteral("note"));
        text->setWordWrap(true);
        text->setFont(guideFont(GuideType::caption));
        text->setTextFormat(Qt::PlainText);
        QPalette palette = text->palette();
        palette.setColor(QPalette::WindowText, GuideInk::from(palette).secondary);
        text->setPalette(palette);
    }

    void setNote(const std::optional<std::string>& note) {
        text->setText(note ? QString::fromStdString(*note) : QString());
        setVisible(note.has_value());
    }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(withAlpha(GuideInk::from(palette()).primary, 0.06));
        painter.drawRoundedRect(QRectF(rect()), 7, 7);
    }

  private:
    QLabel* text;
};

namespace {

// A counter-clockwise arrow for the "Baştan" button.
QIcon restartIcon(const QColor& colour) {
    const double ratio = qGuiApp ? qGuiApp->devicePixelRatio() : 1.0;
    QPixmap pixmap(static_cast<int>(std::ceil(16 * ratio)),
                   static_cast<int>(std::ceil(16 * ratio)));
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(colour, 1.6, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    // An open circle from the top, round the right and the bottom, up to the left side.
    painter.drawArc(QRectF(2.5, 2.5, 11, 11), 90 * 16, -300 * 16);
    QPainterPath head;
    head.moveTo(8.6, 0.6);
    head.lineTo(8.6, 5.4);
    head.lineTo(5.2, 3.0);
    head.closeSubpath();
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour);
    painter.drawPath(head);
    return QIcon(pixmap);
}

QLabel* makeLabel(QWidget* parent, GuideType type, const QColor& colour) {
    auto* label = new QLabel(parent);
    label->setFont(guideFont(type));
    label->setTextFormat(Qt::PlainText);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
    return label;
}

} // namespace

GuideMainArea::GuideMainArea(QWidget* parent) : QWidget(parent) {
    const GuideInk ink = GuideInk::from(palette());
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(margin, margin, margin, margin);
    column->setSpacing(spacing);

    auto* heading = new QVBoxLayout;
    heading->setSpacing(3);
    title = makeLabel(this, GuideType::title, ink.primary);
    title->setObjectName(QStringLiteral("title"));
    gesture = makeLabel(this, GuideType::callout, ink.secondary);
    gesture->setObjectName(QStringLiteral("gesture"));
    heading->addWidget(title);
    heading->addWidget(gesture);
    column->addLayout(heading);

    stageView = new GuideStage(this);
    column->addWidget(stageView);

    progressBar = new GuideProgressBar(this);
    column->addWidget(progressBar);

    stepList = new GuideStepList(this);
    column->addWidget(stepList);

    note = new GuideNote(this);
    column->addWidget(note);

    auto* controls = new QHBoxLayout;
    controls->setSpacing(14);
    slowSwitch = new QCheckBox(QStringLiteral("Yavaş"), this);
    slowSwitch->setObjectName(QStringLiteral("slowSwitch"));
    auto* loops = makeLabel(this, GuideType::caption, ink.secondary);
    loops->setText(QStringLiteral("Animasyon sürekli tekrar eder"));
    restartButton = new QPushButton(restartIcon(ink.primary), QStringLiteral("Baştan"), this);
    restartButton->setObjectName(QStringLiteral("restartButton"));
    controls->addWidget(slowSwitch);
    controls->addWidget(loops);
    controls->addStretch(1);
    controls->addWidget(restartButton);
    column->addLayout(controls);
    // A taller window leaves its spare room below the controls.
    column->addStretch(1);

    connect(slowSwitch, &QCheckBox::toggled, this, &GuideMainArea::slowToggled);
    connect(restartButton, &QPushButton::clicked, this, &GuideMainArea::restartRequested);
}

void GuideMainArea::showDemo(const GestureDemo& shown) {
    demo = shown;
    title->setText(QString::fromStdString(demo.title));
    gesture->setText(QString::fromStdString(demo.gesture));
    stageView->setDemo(demo);
    stepList->setDemo(demo);
    note->setNote(demo.note);
    // Steps and note differ in height from one demonstration to the next. Lay them out now,
    // inside out, rather than at the next turn of the event loop, so that no frame (nor a
    // screenshot) shows the new texts in the old boxes.
    note->layout()->activate();
    layout()->activate();
}

void GuideMainArea::setFrame(double t, double speed) {
    stageView->setTime(t);
    progressBar->setProgress(playbackProgress(t, demo.duration));
    stepList->setFrame(t, speed);
}

void GuideMainArea::setSlow(bool isSlow) {
    const QSignalBlocker quiet(slowSwitch);
    slowSwitch->setChecked(isSlow);
}

} // namespace ravnix
