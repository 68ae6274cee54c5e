// Counts amounts in whole seconds of a steady clock and tells the total of
// the last whole second, without a timer: the windows roll when touched.
#ifndef CORVANE_HOST_RATEWINDOW_H
#define CORVANE_HOST_RATEWINDOW_H

#include <chrono>
#include <cstdint>
#include <limits>

class CRateWindow {
public:
    using Clock = std::chrono::steady_clock;

    void Add(uint64_t amount, Clock::time_point now)
    {
        const int64_t second = SecondOf(now);
        if (second != m_second) {
            m_previous = second - 1 == m_second ? m_current : 0;
            m_current = 0;
            m_second = second;
        }
        m_current += amount;
    }

    // The total of the whole second before the one `now` lies in.
    uint64_t LastSecond(Clock::time_point now) const
    {
        const int64_t second = SecondOf(now);
        if (second == m_second) {
            return m_previous;
        }
        return second - 1 == m_second ? m_current : 0;
    }

private:
    static int64_t SecondOf(Clock::time_point t)
    {
        return std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count();
    }

    int64_t m_second = std::numeric_limits<int64_t>::min();
    uint64_t m_current = 0;
    uint64_t m_previous = 0;
};

#endif
