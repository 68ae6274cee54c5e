// Latency histogram with log-linear buckets: exact below 128 units, then 64
// buckets per power of two, so any quantile is within 1/64 (1.6 %) of the
// true value at a fixed 18 KiB, however many samples are recorded.
#ifndef CORVANE_BOT_LATENCYHISTOGRAM_H
#define CORVANE_BOT_LATENCYHISTOGRAM_H

#include <array>
#include <cstddef>
#include <cstdint>

class CLatencyHistogram {
public:
    static constexpr unsigned kSubBits = 6;
    static constexpr uint64_t kSubCount = uint64_t{1} << kSubBits;
    // Values up to 2^40 (about 12 days in microseconds); larger ones are
    // clamped into the last bucket, while Max() keeps the true value.
    static constexpr unsigned kMaxBits = 40;
    static constexpr std::size_t kBucketCount = (kMaxBits - kSubBits) * kSubCount + kSubCount;

    void Record(uint64_t value);
    void Merge(const CLatencyHistogram& other);
    void Reset() { *this = CLatencyHistogram{}; }

    uint64_t Count() const { return m_count; }
    uint64_t Min() const { return m_count ? m_min : 0; }
    uint64_t Max() const { return m_max; }
    double Mean() const { return m_count ? static_cast<double>(m_sum) / static_cast<double>(m_count) : 0.0; }
    // The value below which a share q (0..1) of the samples lie: the middle
    // of the bucket holding that rank, clamped to the recorded extremes.
    // 0 when empty.
    uint64_t Quantile(double q) const;

    static std::size_t BucketOf(uint64_t value);
    // Smallest and largest value that fall into a bucket.
    static uint64_t BucketLow(std::size_t index);
    static uint64_t BucketHigh(std::size_t index);
    uint64_t BucketCount(std::size_t index) const { return m_buckets[index]; }

private:
    std::array<uint64_t, kBucketCount> m_buckets{};
    uint64_t m_count = 0;
    uint64_t m_sum = 0;
    uint64_t m_min = UINT64_MAX;
    uint64_t m_max = 0;
};

#endif
