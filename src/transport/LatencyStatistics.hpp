#pragma once
// Summaries of link measurements made from pings and pongs: round-trip percentiles and
// jitter, and the other device's clock offset estimated over a sliding window.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace ravnix {

struct LatencyStatistics {
    std::int64_t sampleCount = 0;
    std::int64_t lostCount = 0;
    std::uint64_t minNanos = 0;
    std::uint64_t p50Nanos = 0;
    std::uint64_t p95Nanos = 0;
    std::uint64_t p99Nanos = 0;
    std::uint64_t maxNanos = 0;
    // Median of |s[i+1] − s[i]| over the samples in the order they were measured.
    std::uint64_t medianJitterNanos = 0;

    LatencyStatistics() = default;
    // Samples in the order they were measured (nanoseconds); lostCount as counted by the caller.
    LatencyStatistics(std::span<const std::uint64_t> samples, std::int64_t lostCount);

    // lostCount / (sampleCount + lostCount); 0 when there is nothing.
    double lossRate() const noexcept;
    // Seven lines, milliseconds with two decimals, no trailing line feed.
    std::string description() const;

    // Linear interpolation between the two nearest ranks of an ascending list, rounded
    // half away from zero; 0 for an empty list.
    static std::uint64_t percentile(std::span<const std::uint64_t> sorted,
                                    double fraction) noexcept;

    bool operator==(const LatencyStatistics&) const = default;
};

struct ClockOffsetEstimator {
    // Each: the other clock minus the local clock (ns), oldest first.
    std::vector<std::int64_t> offsets;
    std::int64_t windowSize = 0;

    explicit ClockOffsetEstimator(std::int64_t windowSize) : windowSize(windowSize) {}

    // One exchange in local times around the other device's reading. A sample whose answer
    // came before its ping, or whose offset does not fit 64 bits, is ignored.
    void add(std::uint64_t sentAt, std::uint64_t remoteTime, std::uint64_t receivedAt);
    // Median offset (the upper middle for an even count); absent with no samples.
    std::optional<std::int64_t> offset() const;
    // A time of the other clock in the local clock; absent with no samples or when negative
    // (or beyond the local clock's range).
    std::optional<std::uint64_t> localTime(std::uint64_t fromRemote) const;

    bool operator==(const ClockOffsetEstimator&) const = default;
};

} // namespace ravnix
