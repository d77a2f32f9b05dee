#include "transport/LatencyStatistics.hpp"

#include "transport/CFormat.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ravnix {
namespace {

// Wide enough for any difference of two 64-bit values.
__extension__ typedef __int128 Wide;

std::uint64_t absoluteDifference(std::uint64_t a, std::uint64_t b) noexcept {
    return a > b ? a - b : b - a;
}

std::string millisecondsLine(const char* label, std::uint64_t nanos) {
    return formatC("%s%6.2f ms", label, static_cast<double>(nanos) / 1'000'000.0);
}

} // namespace

std::uint64_t LatencyStatistics::percentile(std::span<const std::uint64_t> sorted,
                                            double fraction) noexcept {
    const std::size_t n = sorted.size();
    if (n == 0) {
        return 0;
    }
    const double position = fraction * static_cast<double>(n - 1);
    const auto lo = static_cast<std::size_t>(std::floor(position));
    const std::size_t hi = std::min(lo + 1, n - 1);
    const double f = position - static_cast<double>(lo);
    const double value = std::round((1.0 - f) * static_cast<double>(sorted[lo]) +
                                    f * static_cast<double>(sorted[hi]));
    // Near 2^64 the double can round past the largest UInt64; clamp rather than overflow.
    if (value >= 18446744073709551616.0) {
        return std::numeric_limits<std::uint64_t>::max();
    }
    return value <= 0 ? 0 : static_cast<std::uint64_t>(value);
}

LatencyStatistics::LatencyStatistics(std::span<const std::uint64_t> samples, std::int64_t lost)
    : sampleCount(static_cast<std::int64_t>(samples.size())), lostCount(lost) {
    if (samples.empty()) {
        return;
    }
    std::vector<std::uint64_t> sorted(samples.begin(), samples.end());
    std::sort(sorted.begin(), sorted.end());
    minNanos = sorted.front();
    maxNanos = sorted.back();
    p50Nanos = percentile(sorted, 0.5);
    p95Nanos = percentile(sorted, 0.95);
    p99Nanos = percentile(sorted, 0.99);
    if (samples.size() < 2) {
        return;
    }
    std::vector<std::uint64_t> steps;
    steps.reserve(samples.size() - 1);
    for (std::size_t i = 0; i + 1 < samples.size(); ++i) {
        steps.push_back(absoluteDifference(samples[i + 1], samples[i]));
    }
    std::sort(steps.begin(), steps.end());
    medianJitterNanos = percentile(steps, 0.5);
}

double LatencyStatistics::lossRate() const noexcept {
    const double total = static_cast<double>(sampleCount) + static_cast<double>(lostCount);
    return total == 0 ? 0.0 : static_cast<double>(lostCount) / total;
}

std::string LatencyStatistics::description() const {
    std::string text =
        formatC("örnek     %lld  (kayıp %lld, %%%.2f)", static_cast<long long>(sampleCount),
                static_cast<long long>(lostCount), lossRate() * 100.0);
    text += '\n' + millisecondsLine("min       ", minNanos);
    text += '\n' + millisecondsLine("p50       ", p50Nanos);
    text += '\n' + millisecondsLine("p95       ", p95Nanos);
    text += '\n' + millisecondsLine("p99       ", p99Nanos);
    text += '\n' + millisecondsLine("max       ", maxNanos);
    text +=
        '\n' + millisecondsLine("jitter    ", medianJitterNanos) + "  (ardışık farkların medyanı)";
    return text;
}

void ClockOffsetEstimator::add(std::uint64_t sentAt, std::uint64_t remoteTime,
                               std::uint64_t receivedAt) {
    if (receivedAt < sentAt) {
        return;
    }
    const std::uint64_t midpoint = sentAt + (receivedAt - sentAt) / 2;
    const Wide offset = static_cast<Wide>(remoteTime) - static_cast<Wide>(midpoint);
    if (offset < std::numeric_limits<std::int64_t>::min() ||
        offset > std::numeric_limits<std::int64_t>::max()) {
        return;
    }
    offsets.push_back(static_cast<std::int64_t>(offset));
    const std::size_t keep = windowSize > 0 ? static_cast<std::size_t>(windowSize) : 0;
    if (offsets.size() > keep) {
        offsets.erase(offsets.begin(),
                      offsets.begin() + static_cast<std::ptrdiff_t>(offsets.size() - keep));
    }
}

std::optional<std::int64_t> ClockOffsetEstimator::offset() const {
    if (offsets.empty()) {
        return std::nullopt;
    }
    std::vector<std::int64_t> sorted = offsets;
    std::sort(sorted.begin(), sorted.end());
    return sorted[sorted.size() / 2];
}

std::optional<std::uint64_t> ClockOffsetEstimator::localTime(std::uint64_t fromRemote) const {
    const auto median = offset();
    if (!median) {
        return std::nullopt;
    }
    const Wide local = static_cast<Wide>(fromRemote) - *median;
    if (local < 0 || local > static_cast<Wide>(std::numeric_limits<std::uint64_t>::max())) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(local);
}

} // namespace ravnix
