#include "LatencyHistogram.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

TEST(LatencyHistogram, BucketsTileTheRangeWithoutGapsOrOverlap)
{
    for (std::size_t i = 0; i + 1 < CLatencyHistogram::kBucketCount; ++i) {
        ASSERT_EQ(CLatencyHistogram::BucketHigh(i) + 1, CLatencyHistogram::BucketLow(i + 1)) << i;
        ASSERT_EQ(CLatencyHistogram::BucketOf(CLatencyHistogram::BucketLow(i)), i);
        ASSERT_EQ(CLatencyHistogram::BucketOf(CLatencyHistogram::BucketHigh(i)), i);
    }
    // Past the last bucket, values clamp into it.
    EXPECT_EQ(CLatencyHistogram::BucketOf(UINT64_MAX), CLatencyHistogram::kBucketCount - 1);
}

TEST(LatencyHistogram, BucketWidthStaysWithinOneSixtyFourthOfItsValue)
{
    for (std::size_t i = 128; i < CLatencyHistogram::kBucketCount; i += 37) {
        const double low = static_cast<double>(CLatencyHistogram::BucketLow(i));
        const double width = static_cast<double>(CLatencyHistogram::BucketHigh(i)) - low + 1;
        EXPECT_LE(width / low, 1.0 / 64 + 1e-12) << i;
    }
}

TEST(LatencyHistogram, SmallValuesAreExact)
{
    CLatencyHistogram h;
    for (uint64_t v = 1; v <= 100; ++v) {
        h.Record(v);
    }
    EXPECT_EQ(h.Count(), 100u);
    EXPECT_EQ(h.Quantile(0.5), 50u);
    EXPECT_EQ(h.Quantile(0.99), 99u);
    EXPECT_EQ(h.Quantile(1.0), 100u);
    EXPECT_EQ(h.Min(), 1u);
    EXPECT_EQ(h.Max(), 100u);
    EXPECT_DOUBLE_EQ(h.Mean(), 50.5);
}

TEST(LatencyHistogram, QuantilesOfAWideDistributionMatchTheSortedSamples)
{
    std::mt19937_64 rng(7);
    std::lognormal_distribution<double> dist(7.0, 1.5);
    std::vector<uint64_t> samples;
    CLatencyHistogram h;
    for (int i = 0; i < 100000; ++i) {
        const auto v = static_cast<uint64_t>(dist(rng));
        samples.push_back(v);
        h.Record(v);
    }
    std::sort(samples.begin(), samples.end());
    for (const double q : {0.5, 0.9, 0.99, 0.999}) {
        const auto exact = static_cast<double>(samples[static_cast<std::size_t>(q * static_cast<double>(samples.size())) - 1]);
        EXPECT_NEAR(static_cast<double>(h.Quantile(q)), exact, exact / 64 + 1) << q;
    }
    EXPECT_EQ(h.Max(), samples.back());
}

TEST(LatencyHistogram, MergeEqualsRecordingEverythingInOne)
{
    CLatencyHistogram a;
    CLatencyHistogram b;
    CLatencyHistogram both;
    for (uint64_t v = 0; v < 5000; v += 3) {
        (v % 2 ? a : b).Record(v * 11);
        both.Record(v * 11);
    }
    a.Merge(b);
    EXPECT_EQ(a.Count(), both.Count());
    EXPECT_EQ(a.Min(), both.Min());
    EXPECT_EQ(a.Max(), both.Max());
    for (const double q : {0.1, 0.5, 0.99}) {
        EXPECT_EQ(a.Quantile(q), both.Quantile(q));
    }
    a.Reset();
    EXPECT_EQ(a.Count(), 0u);
    EXPECT_EQ(a.Quantile(0.5), 0u);
    EXPECT_EQ(a.Max(), 0u);
}
