#include "transport/LatencyStatistics.hpp"

#include "support/DecimalCommaLocale.hpp"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <gtest/gtest.h>
#include <limits>
#include <string>
#include <vector>

namespace ravnix {
namespace {

LatencyStatistics stats(std::vector<std::uint64_t> samples, std::int64_t lost = 0) {
    return LatencyStatistics(samples, lost);
}

TEST(LatencyStatistics, PercentilesInterpolateAndRoundHalfAway) {
    const auto s = stats({40, 10, 30, 20});
    EXPECT_EQ(s.sampleCount, 4);
    EXPECT_EQ(s.minNanos, 10u);
    EXPECT_EQ(s.p50Nanos, 25u);
    EXPECT_EQ(s.p95Nanos, 39u); // 38.5
    EXPECT_EQ(s.p99Nanos, 40u); // 39.7
    EXPECT_EQ(s.maxNanos, 40u);
    // Jitter follows the measured order: |10-40|, |30-10|, |20-30| → median 20.
    EXPECT_EQ(s.medianJitterNanos, 20u);
    EXPECT_EQ(stats({10, 20, 30, 40}).medianJitterNanos, 10u);

    const auto two = stats({5, 1});
    EXPECT_EQ(two.minNanos, 1u);
    EXPECT_EQ(two.maxNanos, 5u);
    EXPECT_EQ(two.p50Nanos, 3u);
    EXPECT_EQ(two.medianJitterNanos, 4u);

    const auto one = stats({777});
    for (auto v : {one.minNanos, one.p50Nanos, one.p95Nanos, one.p99Nanos, one.maxNanos}) {
        EXPECT_EQ(v, 777u);
    }
    EXPECT_EQ(one.medianJitterNanos, 0u);
}

TEST(LatencyStatistics, ExtremeValuesDoNotOverflow) {
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    const auto s = stats({top, 0, top});
    EXPECT_EQ(s.maxNanos, top);
    EXPECT_EQ(s.p99Nanos, top);
    EXPECT_EQ(s.medianJitterNanos, top);
}

TEST(LatencyStatistics, LossRateAndText) {
    const auto none = stats({});
    EXPECT_EQ(none.lossRate(), 0.0);
    EXPECT_EQ(none.description(), "örnek     0  (kayıp 0, %0.00)\n"
                                  "min         0.00 ms\n"
                                  "p50         0.00 ms\n"
                                  "p95         0.00 ms\n"
                                  "p99         0.00 ms\n"
                                  "max         0.00 ms\n"
                                  "jitter      0.00 ms  (ardışık farkların medyanı)");

    const auto s = stats({1'500'000, 2'250'000, 123'456'789}, 1);
    EXPECT_DOUBLE_EQ(s.lossRate(), 0.25);
    EXPECT_EQ(s.description(), "örnek     3  (kayıp 1, %25.00)\n"
                               "min         1.50 ms\n"
                               "p50         2.25 ms\n"
                               "p95       111.34 ms\n"
                               "p99       121.03 ms\n"
                               "max       123.46 ms\n"
                               "jitter     60.98 ms  (ardışık farkların medyanı)");
}

// A desktop toolkit switches the process to the user's locale; Turkish writes 1,50.
TEST(LatencyStatistics, TextUsesAFullStopInADecimalCommaLocale) {
    const test::DecimalCommaLocale turkish;
    if (!turkish.isActive()) {
        GTEST_SKIP() << "no Turkish locale: not installed and localedef could not build one";
    }
    const std::string text = stats({1'500'000}, 0).description();
    EXPECT_NE(text.find("  1.50 ms"), std::string::npos) << text;
}

TEST(ClockOffsetEstimator, WindowMedianAndConversion) {
    ClockOffsetEstimator estimator(3);
    EXPECT_FALSE(estimator.offset());
    EXPECT_FALSE(estimator.localTime(1000));

    // Midpoint of 100 and 201 is 150 (halving rounds down).
    estimator.add(100, 1150, 201);
    EXPECT_EQ(estimator.offset(), 1000);
    estimator.add(0, 5, 0);
    estimator.add(0, 9, 0);
    estimator.add(0, 1, 0);
    EXPECT_EQ(estimator.offsets, (std::vector<std::int64_t>{5, 9, 1}));

    ClockOffsetEstimator four(4);
    for (std::int64_t o : {5, -3, 9, 1}) {
        four.add(100, static_cast<std::uint64_t>(100 + o), 100);
    }
    EXPECT_EQ(four.offset(), 5); // sorted -3, 1, 5, 9: index 2
    EXPECT_EQ(four.localTime(1005), 1000u);
    EXPECT_FALSE(four.localTime(4)); // before the local clock's origin
}

TEST(ClockOffsetEstimator, IgnoresSamplesItCannotUse) {
    const std::uint64_t top = std::numeric_limits<std::uint64_t>::max();
    ClockOffsetEstimator estimator(8);
    estimator.add(200, 500, 100); // answer before the ping
    estimator.add(0, top, 0);     // offset beyond 64 signed bits
    EXPECT_TRUE(estimator.offsets.empty());

    estimator.add(top, 0, top); // offset −(2^64−1) does not fit either
    EXPECT_TRUE(estimator.offsets.empty());
    estimator.add(top - 10, top, top - 10);
    ASSERT_EQ(estimator.offset(), 10);
    // A remote time above INT64_MAX converts without trapping.
    EXPECT_EQ(estimator.localTime(top), top - 10);

    ClockOffsetEstimator empty(0);
    empty.add(1, 2, 3);
    EXPECT_FALSE(empty.offset());
}

} // namespace
} // namespace ravnix
