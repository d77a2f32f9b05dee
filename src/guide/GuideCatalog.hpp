#pragma once
// The guide's demonstrations: a fixed catalog in display order, grouped for the sidebar.

#include "guide/GestureDemo.hpp"

#include <span>
#include <string_view>
#include <vector>

namespace ravnix {

// The twelve demonstrations in display order; built on first use and shared, never empty.
const std::vector<GestureDemo>& gestureCatalog();

// The distinct groups in order of first appearance.
std::vector<std::string_view> gestureGroups(std::span<const GestureDemo> demos);
std::vector<std::string_view> gestureGroups();

// The demonstrations of a group in list order; the pointers point into `demos`.
std::vector<const GestureDemo*> gestureDemosOfGroup(std::span<const GestureDemo> demos,
                                                    std::string_view group);
std::vector<const GestureDemo*> gestureDemosOfGroup(std::string_view group);

// The first demonstration with this id, else the first of the list; null only for an empty
// list.
const GestureDemo* gestureDemoById(std::span<const GestureDemo> demos,
                                   std::string_view id) noexcept;
// The catalog's demonstration with this id, else the catalog's first.
const GestureDemo& gestureDemo(std::string_view id);

} // namespace ravnix
