#include "LatencyHistogram.h"

#include <algorithm>
#include <bit>
#include <cmath>

std::size_t CLatencyHistogram::BucketOf(uint64_t value)
{
    if (value < 2 * kSubCount) {
        return static_cast<std::size_t>(value);
    }
    const unsigned shift = static_cast<unsigned>(std::bit_width(value)) - kSubBits - 1;
    const std::size_t index = shift * kSubCount + static_cast<std::size_t>(value >> shift);
    return std::min(index, kBucketCount - 1);
}

uint64_t CLatencyHistogram::BucketLow(std::size_t index)
{
    if (index < 2 * kSubCount) {
        return index;
    }
    const unsigned shift = static_cast<unsigned>(index / kSubCount) - 1;
    return (index - shift * kSubCount) << shift;
}

uint64_t CLatencyHistogram::BucketHigh(std::size_t index)
{
    if (index < 2 * kSubCount) {
        return index;
    }
    const unsigned shift = static_cast<unsigned>(index / kSubCount) - 1;
    return BucketLow(index) + (uint64_t{1} << shift) - 1;
}

void CLatencyHistogram::Record(uint64_t value)
{
    ++m_buckets[BucketOf(value)];
    ++m_count;
    m_sum += value;
    m_min = std::min(m_min, value);
    m_max = std::max(m_max, value);
}

void CLatencyHistogram::Merge(const CLatencyHistogram& other)
{
    for (std::size_t i = 0; i < kBucketCount; ++i) {
        m_buckets[i] += other.m_buckets[i];
    }
    m_count += other.m_count;
    m_sum += other.m_sum;
    m_min = std::min(m_min, other.m_min);
    m_max = std::max(m_max, other.m_max);
}

uint64_t CLatencyHistogram::Quantile(double q) const
{
    if (m_count == 0) {
        return 0;
    }
    q = std::clamp(q, 0.0, 1.0);
    const auto rank = std::max<uint64_t>(1, static_cast<uint64_t>(std::ceil(q * static_cast<double>(m_count))));
    uint64_t seen = 0;
    for (std::size_t i = 0; i < kBucketCount; ++i) {
        seen += m_buckets[i];
        if (seen >= rank) {
            const uint64_t mid = BucketLow(i) + (BucketHigh(i) - BucketLow(i)) / 2;
            return std::clamp(mid, Min(), m_max);
        }
    }
    return m_max;
}
