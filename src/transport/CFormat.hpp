#pragma once
// printf-style formatting that always writes numbers with a full stop, whatever locale
// the process runs in (a desktop toolkit sets the user's locale at start-up).

#include <string>

namespace ravnix {

[[gnu::format(printf, 1, 2)]] std::string formatC(const char* format, ...);

// Switches this thread to the C locale for its lifetime, for code that formats many numbers
// with snprintf in a row.
class ScopedCLocale {
  public:
    ScopedCLocale() noexcept;
    ~ScopedCLocale();
    ScopedCLocale(const ScopedCLocale&) = delete;
    ScopedCLocale& operator=(const ScopedCLocale&) = delete;

  private:
    void* previous; // locale_t, kept out of this header
};

} // namespace ravnix
