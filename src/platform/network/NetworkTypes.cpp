#include "platform/network/NetworkTypes.hpp"

#include <cstring>

namespace ravnix {

NetworkError NetworkError::fromErrno(std::string operation, int code) {
    char buffer[256];
    // GNU strerror_r: thread-safe, returns the message (possibly not in `buffer`).
    const char* message = strerror_r(code, buffer, sizeof buffer);
    return NetworkError{std::move(operation), code, message};
}

std::string NetworkError::text() const {
    return operation + " başarısız: " + reason + " (" + std::to_string(code) + ")";
}

} // namespace ravnix
