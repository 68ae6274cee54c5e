// Per-connection message budget: `rate` messages a second, `burst` at once.
#ifndef CORVANE_HOST_TOKENBUCKET_H
#define CORVANE_HOST_TOKENBUCKET_H

#include <algorithm>
#include <chrono>

class CTokenBucket {
public:
    using Clock = std::chrono::steady_clock;

    CTokenBucket(double rate, double burst, Clock::time_point now)
        : m_rate(rate), m_burst(burst), m_tokens(burst), m_last(now)
    {
    }

    // Takes one token; false when the budget is spent.
    bool TryTake(Clock::time_point now)
    {
        const std::chrono::duration<double> elapsed = now - m_last;
        m_last = now;
        m_tokens = std::min(m_burst, m_tokens + std::max(0.0, elapsed.count()) * m_rate);
        if (m_tokens < 1.0) {
            return false;
        }
        m_tokens -= 1.0;
        return true;
    }

private:
    double m_rate;
    double m_burst;
    double m_tokens;
    Clock::time_point m_last;
};

#endif
