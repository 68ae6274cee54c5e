#include "ops/Metrics.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

namespace {

// The label values known in advance, so that every series exists from the
// start and rates can be taken from zero.
constexpr std::string_view kLoginResults[] = {"ok", "unauthorized", "server_full", "malformed", "already_logged_in",
                                              "draining"};
constexpr std::string_view kResumeResults[] = {"ok",       "unknown_token",  "token_used",   "expired", "overflow",
                                               "frames_too_old", "frames_ahead", "malformed", "off"};
constexpr std::string_view kDropReasons[] = {"short", "unknown_module", "unknown_command", "no_recipient"};
constexpr std::string_view kCloseReasons[] = {
    "client_closed",   "client_dropped",    "idle_timeout", "logout",           "text_frame",
    "frame_too_big",   "rate_limited",      "send_queue_full", "not_logged_in", "login_timeout",
    "unauthorized",    "server_full",       "malformed_login", "already_logged_in", "shutdown",
    "too_many_pending", "pending_evicted",   "ping_flood",   "bad_deflate",  "resume_refused",
    "resumed_elsewhere", "draining",
};

std::string Label(const char* key, std::string_view value)
{
    std::string out = "{";
    out += key;
    out += "=\"";
    out += value;
    out += "\"}";
    return out;
}

// A counter with one line per value of its label `key`.
template <class Series>
void LabelledCounter(std::string& out, std::string_view name, std::string_view help, const char* key,
                     const Series& series)
{
    AppendMetricHeader(out, name, "counter", help);
    for (const auto& [value, n] : series) {
        if constexpr (std::is_integral_v<std::remove_cvref_t<decltype(value)>>) {
            AppendMetricLine(out, name, Label(key, std::to_string(value)), n);
        } else {
            AppendMetricLine(out, name, Label(key, value), n);
        }
    }
}

std::string FormatDouble(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", value);
    return text;
}

} // namespace

void AppendMetricHeader(std::string& out, std::string_view name, std::string_view type, std::string_view help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void AppendMetricLine(std::string& out, std::string_view name, std::string_view labels, uint64_t value)
{
    out += name;
    out += labels;
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

CMetrics::CMetrics()
{
    for (std::string_view result : kLoginResults) {
        m_logins.emplace(result, 0);
    }
    for (std::string_view reason : kDropReasons) {
        m_dropped.emplace(reason, 0);
    }
    for (std::string_view reason : kCloseReasons) {
        m_closed.emplace(reason, 0);
    }
    for (std::string_view result : kResumeResults) {
        m_resumes.emplace(result, 0);
    }
    DeclareModule(0);
}

void CMetrics::DeclareModule(uint16_t moduleId)
{
    m_received.emplace(moduleId, 0);
    if (moduleId != 0) {
        m_recvFailures.emplace(moduleId, 0);
    }
}

void CMetrics::Count(CLabelled& series, std::string_view label)
{
    auto it = series.find(label);
    if (it == series.end()) {
        it = series.emplace(std::string(label), 0).first;
    }
    ++it->second;
}

uint64_t CMetrics::Get(const CLabelled& series, std::string_view label)
{
    auto it = series.find(label);
    return it == series.end() ? 0 : it->second;
}

void CMetrics::CountLogin(std::string_view result) { Count(m_logins, result); }
void CMetrics::CountReceived(uint16_t moduleId) { ++m_received[moduleId]; }
void CMetrics::CountDropped(std::string_view reason) { Count(m_dropped, reason); }
void CMetrics::CountRecvFailure(uint16_t moduleId) { ++m_recvFailures[moduleId]; }
void CMetrics::CountClosed(std::string_view reason) { Count(m_closed, reason); }
void CMetrics::CountResume(std::string_view result) { Count(m_resumes, result); }

void CMetrics::CountSent(std::size_t bytes)
{
    ++m_sent;
    m_bytesSent += bytes;
}

void CMetrics::ObserveTick(double seconds)
{
    for (std::size_t i = 0; i < kTickBuckets.size(); ++i) {
        if (seconds <= kTickBuckets[i]) {
            ++m_tickBuckets[i];
        }
    }
    ++m_tickCount;
    m_tickSum += seconds;
}

void CMetrics::AddCounter(std::string name, std::string help, std::function<uint64_t()> read)
{
    m_external.push_back({"counter", std::move(name), std::move(help), std::move(read)});
}

void CMetrics::AddGauge(std::string name, std::string help, std::function<uint64_t()> read)
{
    m_external.push_back({"gauge", std::move(name), std::move(help), std::move(read)});
}

void CMetrics::ForgetUser(uint32_t userId) { m_userBytes.erase(userId); }

uint64_t CMetrics::Logins(std::string_view result) const { return Get(m_logins, result); }
uint64_t CMetrics::Dropped(std::string_view reason) const { return Get(m_dropped, reason); }
uint64_t CMetrics::Closed(std::string_view reason) const { return Get(m_closed, reason); }
uint64_t CMetrics::Resumes(std::string_view result) const { return Get(m_resumes, result); }

std::string CMetrics::Render(std::size_t usersOnline, std::size_t pending, CRateWindow::Clock::time_point now) const
{
    std::string out;
    out.reserve(4096);

    AppendMetricHeader(out, "corvane_users_online", "gauge", "Users logged in now.");
    AppendMetricLine(out, "corvane_users_online", "", usersOnline);

    AppendMetricHeader(out, "corvane_connections_pending", "gauge", "Game connections not logged in yet.");
    AppendMetricLine(out, "corvane_connections_pending", "", pending);

    uint64_t total = 0;
    uint64_t most = 0;
    for (const auto& [userId, window] : m_userBytes) {
        const uint64_t bytes = window.LastSecond(now);
        total += bytes;
        most = std::max(most, bytes);
    }
    AppendMetricHeader(out, "corvane_user_bytes_per_second", "gauge",
           "Bytes queued for each logged-in user in the last whole second: mean and max over the users.");
    AppendMetricLine(out, "corvane_user_bytes_per_second", Label("stat", "mean"),
         m_userBytes.empty() ? 0 : total / m_userBytes.size());
    AppendMetricLine(out, "corvane_user_bytes_per_second", Label("stat", "max"), most);

    LabelledCounter(out, "corvane_logins_total", "Login attempts by result.", "result", m_logins);
    LabelledCounter(out, "corvane_messages_received_total", "Client messages received by module id (0 is the host).",
                    "module", m_received);
    LabelledCounter(out, "corvane_messages_dropped_total", "Messages that reached no one, by reason.", "reason",
                    m_dropped);
    LabelledCounter(out, "corvane_recv_failures_total", "Client messages a module reported as failed.", "module",
                    m_recvFailures);

    AppendMetricHeader(out, "corvane_messages_sent_total", "counter", "Server messages written to connections.");
    AppendMetricLine(out, "corvane_messages_sent_total", "", m_sent);

    AppendMetricHeader(out, "corvane_bytes_sent_total", "counter", "Bytes of server messages written to connections.");
    AppendMetricLine(out, "corvane_bytes_sent_total", "", m_bytesSent);

    AppendMetricHeader(out, "corvane_tick_duration_seconds", "histogram", "Time the module spent in one timer tick.");
    for (std::size_t i = 0; i < kTickBuckets.size(); ++i) {
        AppendMetricLine(out, "corvane_tick_duration_seconds_bucket", Label("le", FormatDouble(kTickBuckets[i])), m_tickBuckets[i]);
    }
    AppendMetricLine(out, "corvane_tick_duration_seconds_bucket", Label("le", "+Inf"), m_tickCount);
    out += "corvane_tick_duration_seconds_sum " + FormatDouble(m_tickSum) + '\n';
    AppendMetricLine(out, "corvane_tick_duration_seconds_count", "", m_tickCount);

    LabelledCounter(out, "corvane_connections_closed_total", "Game connections ended, by reason.", "reason",
                    m_closed);
    LabelledCounter(out, "corvane_resumes_total", "Resume attempts by result (the ResumeAck code's name).", "result",
                    m_resumes);

    AppendMetricHeader(out, "corvane_inflate_failures_total", "counter",
           "Compressed client messages that were bad deflate data or inflated past --max-frame.");
    AppendMetricLine(out, "corvane_inflate_failures_total", "", m_inflateFailures);

    for (const CExternal& counter : m_external) {
        AppendMetricHeader(out, counter.name, counter.type, counter.help);
        AppendMetricLine(out, counter.name, "", counter.read());
    }

    return out;
}
