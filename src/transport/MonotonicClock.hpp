#pragma once
#include <cstdint>
#include <ctime>

namespace ravnix {

// The one time base of every local timestamp: nanoseconds of the raw monotonic clock
// (never slewed or stepped, arbitrary origin). Only differences of two readings mean anything.
struct MonotonicClock {
    MonotonicClock() = delete;
    static std::uint64_t now() noexcept {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000ULL +
               static_cast<std::uint64_t>(ts.tv_nsec);
    }
};

} // namespace ravnix
