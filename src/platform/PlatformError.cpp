#include "platform/PlatformError.hpp"

#include <cstring>

namespace ravnix {

std::string PlatformError::text() const {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the message (possibly not in `buffer`).
    const char* message = strerror_r(code, buffer, sizeof buffer);
    return operation + " başarısız: " + message + " (" + std::to_string(code) + ")";
}

} // namespace ravnix
