#pragma once
// The guide's sidebar: one section per group, titled with the group's name, and one row per
// demonstration with its title above its gesture. Choosing a row reports its id.

#include "guide/GestureDemo.hpp"

#include <QListWidget>
#include <span>
#include <string_view>

namespace ravnix {

class GuideSidebar : public QListWidget {
    Q_OBJECT

  public:
    static constexpr int sidebarWidth = 232;
    // Item data: the demonstration's id on rows; empty on section headers.
    static constexpr int idRole = Qt::UserRole + 1;
    static constexpr int gestureRole = Qt::UserRole + 2;

    explicit GuideSidebar(std::span<const GestureDemo> demos, QWidget* parent = nullptr);

    // Marks the row of `id` as chosen without reporting it; no row when no row has that id.
    void setCurrentDemo(std::string_view id);
    // The row of a demonstration, for tests and keyboard focus; null when there is none.
    QListWidgetItem* itemForDemo(std::string_view id) const;

  signals:
    void demoChosen(const QString& id);
};

} // namespace ravnix
