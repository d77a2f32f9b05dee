#include "ui/GuideSidebar.hpp"

#include "guide/GuideCatalog.hpp"
#include "ui/GuideStyle.hpp"

#include <QFontMetrics>
#include <QPainter>
#include <QStyledItemDelegate>

namespace ravnix {
namespace {

constexpr int rowInsetX = 8;    // the selection's distance from the sidebar's edges
constexpr int rowMarginY = 3;   // space between two rows' selections
constexpr int rowPaddingX = 10; // text inside the selection
constexpr int rowPaddingY = 2;
constexpr int lineSpacing = 1;

class SidebarDelegate : public QStyledItemDelegate {
  public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        const int width = option.rect.width();
        if (isHeader(index)) {
            return {width, QFontMetrics(guideFont(GuideType::captionSemibold)).height() + 14};
        }
        const int text = QFontMetrics(guideFont(GuideType::calloutMedium)).height() + lineSpacing +
                         QFontMetrics(guideFont(GuideType::caption)).height();
        return {width, text + 2 * (rowPaddingY + rowMarginY) + 6};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing);
        // Section headers are disabled items only so that they cannot be chosen; they are
        // drawn in the active colours.
        QPalette palette = option.palette;
        palette.setCurrentColorGroup(QPalette::Active);
        const GuideInk ink = GuideInk::from(palette);
        const QRect area = option.rect;
        if (isHeader(index)) {
            const QFont font = guideFont(GuideType::captionSemibold);
            painter->setFont(font);
            painter->setPen(ink.secondary);
            const QRect text = area.adjusted(rowInsetX + rowPaddingX, 0, -rowInsetX, -3);
            painter->drawText(text, Qt::AlignLeft | Qt::AlignBottom,
                              index.data(Qt::DisplayRole).toString());
            painter->restore();
            return;
        }

        const bool selected = option.state.testFlag(QStyle::State_Selected);
        const QRect row = area.adjusted(rowInsetX, rowMarginY, -rowInsetX, -rowMarginY);
        if (selected) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(ink.accent);
            painter->drawRoundedRect(QRectF(row), 6, 6);
        } else if (option.state.testFlag(QStyle::State_MouseOver)) {
            painter->setPen(Qt::NoPen);
            painter->setBrush(ink.faint);
            painter->drawRoundedRect(QRectF(row), 6, 6);
        }
        const QColor primary = selected ? palette.color(QPalette::HighlightedText) : ink.primary;
        const QColor secondary = selected ? withAlpha(primary, 0.8) : ink.secondary;

        const QRect text = row.adjusted(rowPaddingX, 3 + rowPaddingY, -rowPaddingX, -rowPaddingY);
        const QFont titleFont = guideFont(GuideType::calloutMedium);
        const QFont gestureFont = guideFont(GuideType::caption);
        const QFontMetrics titleMetrics(titleFont);
        const QFontMetrics gestureMetrics(gestureFont);
        painter->setFont(titleFont);
        painter->setPen(primary);
        painter->drawText(QRect(text.left(), text.top(), text.width(), titleMetrics.height()),
                          Qt::AlignLeft | Qt::AlignVCenter,
                          titleMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                  Qt::ElideRight, text.width()));
        painter->setFont(gestureFont);
        painter->setPen(secondary);
        const int gestureTop = text.top() + titleMetrics.height() + lineSpacing;
        painter->drawText(
            QRect(text.left(), gestureTop, text.width(), gestureMetrics.height()),
            Qt::AlignLeft | Qt::AlignVCenter,
            gestureMetrics.elidedText(index.data(GuideSidebar::gestureRole).toString(),
                                      Qt::ElideRight, text.width()));
        painter->restore();
    }

  private:
    static bool isHeader(const QModelIndex& index) {
        return index.data(GuideSidebar::idRole).toString().isEmpty();
    }
};

} // namespace

GuideSidebar::GuideSidebar(std::span<const GestureDemo> demos, QWidget* parent)
    : QListWidget(parent) {
    setObjectName(QStringLiteral("sidebar"));
    setFixedWidth(sidebarWidth);
    setFrameShape(QFrame::NoFrame);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    setUniformItemSizes(false);
    setMouseTracking(true);
    setItemDelegate(new SidebarDelegate(this));

    // A sidebar sits a shade apart from the content beside it.
    QPalette shade = palette();
    shade.setColor(QPalette::Base, shade.color(QPalette::Window).darker(106));
    setPalette(shade);

    for (const std::string_view group : gestureGroups(demos)) {
        auto* header = new QListWidgetItem(
            QString::fromUtf8(group.data(), static_cast<qsizetype>(group.size())), this);
        header->setFlags(Qt::NoItemFlags);
        for (const GestureDemo* demo : gestureDemosOfGroup(demos, group)) {
            auto* row = new QListWidgetItem(QString::fromStdString(demo->title), this);
            row->setData(idRole, QString::fromStdString(demo->id));
            row->setData(gestureRole, QString::fromStdString(demo->gesture));
            row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        }
    }

    connect(this, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item != nullptr && !item->data(idRole).toString().isEmpty()) {
            emit demoChosen(item->data(idRole).toString());
        }
    });
}

QListWidgetItem* GuideSidebar::itemForDemo(std::string_view id) const {
    const QString wanted = QString::fromUtf8(id.data(), static_cast<qsizetype>(id.size()));
    for (int i = 0; i < count(); ++i) {
        QListWidgetItem* row = item(i);
        if (!wanted.isEmpty() && row->data(idRole).toString() == wanted) {
            return row;
        }
    }
    return nullptr;
}

void GuideSidebar::setCurrentDemo(std::string_view id) {
    const QSignalBlocker quiet(this);
    if (QListWidgetItem* row = itemForDemo(id)) {
        setCurrentItem(row);
    } else {
        clearSelection();
        setCurrentItem(nullptr);
    }
}

} // namespace ravnix
