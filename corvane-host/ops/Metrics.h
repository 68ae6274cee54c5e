// The host's counters and their Prometheus text exposition.
#ifndef CORVANE_HOST_METRICS_H
#define CORVANE_HOST_METRICS_H

#include "ops/RateWindow.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>
#include <unordered_map>

// The Prometheus text format's lines: a series' HELP and TYPE, and one
// sample (`labels` empty or "{key=\"value\"}"), for series rendered
// outside CMetrics too.
void AppendMetricHeader(std::string& out, std::string_view name, std::string_view type, std::string_view help);
void AppendMetricLine(std::string& out, std::string_view name, std::string_view labels, uint64_t value);

class CMetrics {
public:
    CMetrics();

    // Makes a module's series appear (at zero) before its first message.
    void DeclareModule(uint16_t moduleId);

    void CountLogin(std::string_view result);
    void CountReceived(uint16_t moduleId);
    void CountDropped(std::string_view reason);
    void CountRecvFailure(uint16_t moduleId);
    void CountSent(std::size_t bytes);
    void CountClosed(std::string_view reason);
    void CountResume(std::string_view result);
    // A compressed client message that was bad deflate data or inflated
    // past the limit.
    void CountInflateFailure() { ++m_inflateFailures; }
    void ObserveTick(double seconds);
    // The window that counts a logged-in user's queued bytes; valid until
    // ForgetUser, called when the user leaves.
    CRateWindow& UserBytes(uint32_t userId) { return m_userBytes[userId]; }
    void ForgetUser(uint32_t userId);

    uint64_t Logins(std::string_view result) const;
    uint64_t Dropped(std::string_view reason) const;
    uint64_t Closed(std::string_view reason) const;
    uint64_t Resumes(std::string_view result) const;

    // A counter kept elsewhere (another thread's, say), read when rendered.
    void AddCounter(std::string name, std::string help, std::function<uint64_t()> read);
    void AddGauge(std::string name, std::string help, std::function<uint64_t()> read);

    // The gauges come from the caller; the per-user byte rates are those of
    // the last whole second before `now`.
    std::string Render(std::size_t usersOnline, std::size_t pending,
                       CRateWindow::Clock::time_point now = CRateWindow::Clock::now()) const;

private:
    using CLabelled = std::map<std::string, uint64_t, std::less<>>;

    static void Count(CLabelled& series, std::string_view label);
    static uint64_t Get(const CLabelled& series, std::string_view label);

    static constexpr std::array<double, 12> kTickBuckets{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005,
                                                         0.01,   0.025,   0.05,   0.1,   0.25,   1.0};

    CLabelled m_logins;
    std::map<uint16_t, uint64_t> m_received;
    CLabelled m_dropped;
    std::map<uint16_t, uint64_t> m_recvFailures;
    uint64_t m_sent = 0;
    uint64_t m_bytesSent = 0;
    uint64_t m_inflateFailures = 0;
    CLabelled m_closed;
    CLabelled m_resumes;
    std::array<uint64_t, kTickBuckets.size()> m_tickBuckets{};
    uint64_t m_tickCount = 0;
    double m_tickSum = 0;

    struct CExternal {
        const char* type;
        std::string name;
        std::string help;
        std::function<uint64_t()> read;
    };
    std::vector<CExternal> m_external;
    std::unordered_map<uint32_t, CRateWindow> m_userBytes;
};

#endif
