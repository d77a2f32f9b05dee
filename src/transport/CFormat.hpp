#pragma once
// printf-style formatting that always writes numbers with a full stop, whatever locale
// the process runs in (a desktop toolkit sets the user's locale at start-up).

#include <string>

namespace ravnix {

[[gnu::format(printf, 1, 2)]] std::string formatC(const char* format, ...);

} // namespace ravnix
