#pragma once
// The tray icon for each of the model's three symbols, drawn rather than loaded so that it is
// crisp at every size a panel asks for: a warning triangle (no permission), a filled pad with
// a touching finger (a phone is active), a dashed pad (ready, idle).

#include <QIcon>
#include <QPixmap>
#include <string>

namespace ravnix {

// A light shape with a dark rim reads on dark and on light panels alike.
QPixmap trayPixmap(const std::string& symbol, int size);
// Every common tray size (16, 22, 24, 32, 48) in one icon.
QIcon trayIcon(const std::string& symbol);

} // namespace ravnix
