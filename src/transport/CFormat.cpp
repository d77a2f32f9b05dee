#include "transport/CFormat.hpp"

#include <clocale>
#include <cstdarg>
#include <cstdio>
#include <locale.h>

namespace ravnix {
namespace {

locale_t cLocale() {
    // Created once and never freed: it lives as long as the process formats anything.
    static const locale_t locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    return locale;
}

} // namespace

ScopedCLocale::ScopedCLocale() noexcept : previous(uselocale(cLocale())) {}

ScopedCLocale::~ScopedCLocale() {
    uselocale(static_cast<locale_t>(previous));
}

std::string formatC(const char* format, ...) {
    const locale_t previous = uselocale(cLocale());
    char stack[256];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(stack, sizeof stack, format, args);
    va_end(args);
    std::string result;
    if (length >= 0 && static_cast<std::size_t>(length) < sizeof stack) {
        result.assign(stack, static_cast<std::size_t>(length));
    } else if (length >= 0) {
        result.resize(static_cast<std::size_t>(length));
        std::vsnprintf(result.data(), result.size() + 1, format, again);
    }
    va_end(again);
    uselocale(previous);
    return result;
}

} // namespace ravnix
