#include "FleetPlayer.h"

#include "ClientProtocol.h"
#include "GameClient.h"
#include "easydemo/EasyDemo.h"
#include "game/HostProtocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iomanip>
#include <mutex>
#include <random>
#include <regex>
#include <thread>
#include <vector>

using namespace CorvaneClient;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kCallTimeout = 2000ms;
constexpr auto kMoveTimeout = 2000ms;
// After a round of failed matchmakes on every host, before the next round.
constexpr auto kRetryPause = 100ms;
constexpr uint16_t kCloseGoingAway = 1001;

struct CSeat {
    std::string world;
    CWsUrl url;
    std::string token;
};

struct CShared {
    const CBotOptions& options;
    std::vector<CWsUrl> hosts;
    Clock::time_point start;
    Clock::time_point end;
    std::mutex mutex;
    CFleetResult result;
    std::atomic<uint32_t> playing{0};
};

std::string JsonString(const std::string& body, const std::string& key)
{
    std::smatch m;
    if (std::regex_search(body, m, std::regex("\"" + key + "\":\"([^\"]*)\""))) {
        return m[1];
    }
    return {};
}

class CFleetPlayer {
public:
    CFleetPlayer(CShared& shared, uint32_t index)
        : m_shared(shared), m_rng(static_cast<uint32_t>(shared.options.seed * 1000003u + index)),
          m_nextHost(index % shared.hosts.size())
    {
        const double rate = shared.options.rate;
        m_period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rate > 0 ? 1 / rate : 1e6));
    }

    void Run()
    {
        while (Clock::now() < m_shared.end) {
            const std::optional<CSeat> seat = Matchmake();
            if (!seat) {
                Broke();
                std::this_thread::sleep_for(kRetryPause);
                continue;
            }
            CGameClient client;
            if (!Join(client, *seat)) {
                Broke();
                continue;
            }
            Recovered();
            ++m_shared.playing;
            Play(client);
            --m_shared.playing;
            if (client.IsOpen()) {
                client.Close();
                break; // the run is over
            }
            const uint16_t code = client.CloseCode().value_or(1006);
            std::lock_guard lock(m_shared.mutex);
            ++m_shared.result.closes[code];
            if (code == kCloseGoingAway && client.CloseReason() == "draining") {
                ++m_shared.result.moved;
            }
            BrokeLocked();
        }
        if (m_brokenAt) {
            // Still not playing when the run ended.
            std::lock_guard lock(m_shared.mutex);
            Gap(m_shared.end - *m_brokenAt);
        }
    }

private:
    // Tries each host once, starting with the last that answered.
    std::optional<CSeat> Matchmake()
    {
        for (std::size_t tried = 0; tried < m_shared.hosts.size() && Clock::now() < m_shared.end; ++tried) {
            const CWsUrl& host = m_shared.hosts[m_nextHost];
            CHttpReply reply;
            try {
                reply = HttpPost(host.host, host.port, "/matchmake", m_shared.options.token.empty()
                                                                          ? std::string()
                                                                          : "Bearer " + m_shared.options.token,
                                 kCallTimeout);
            } catch (const CClientError&) {
                reply.status = 0;
            }
            std::string error;
            const std::optional<CWsUrl> url =
                reply.status == 200 ? ParseWsUrl(JsonString(reply.body, "url"), error) : std::nullopt;
            std::lock_guard lock(m_shared.mutex);
            if (url) {
                ++m_shared.result.matchmakes;
                return CSeat{JsonString(reply.body, "world"), *url, JsonString(reply.body, "seat")};
            }
            ++m_shared.result.matchmakeFailures;
            m_nextHost = (m_nextHost + 1) % m_shared.hosts.size();
        }
        return std::nullopt;
    }

    // Connected, logged in with the seat and in the scene.
    bool Join(CGameClient& client, const CSeat& seat)
    {
        CLoginAck ack;
        try {
            client.Connect({.host = seat.url.host, .port = seat.url.port, .path = seat.url.target,
                            .timeout = kCallTimeout});
            ack = client.Login(seat.token, kCallTimeout);
        } catch (const CClientError&) {
            return false;
        }
        {
            std::lock_guard lock(m_shared.mutex);
            if (ack.code != kLoginOk) {
                ++m_shared.result.refusals[ack.code];
                if (ack.code == kLoginDraining) {
                    ++m_shared.result.moved;
                }
                return false;
            }
            ++m_shared.result.logins;
        }
        m_userId = ack.userId;
        return client.Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene, {}, kCallTimeout) &&
               client.WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, kCallTimeout).has_value();
    }

    // Moves to random cells at the asked rate until the run ends or the
    // host ends the connection, which shows at once: the waits between
    // moves read the connection.
    void Play(CGameClient& client)
    {
        std::uniform_int_distribution<int> cell(1, 98);
        Clock::time_point next = Clock::now();
        while (client.IsOpen() && Clock::now() < m_shared.end) {
            const Pos to{static_cast<int16_t>(cell(m_rng)), static_cast<int16_t>(cell(m_rng))};
            if (!client.Send(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, EncodeMoveTo(to), kCallTimeout)) {
                break;
            }
            const auto shows = [&](const CServerMessage& m) {
                if (m.moduleId != EasyDemo::kModuleId || m.cmd != EasyDemo::kPoseList) {
                    return false;
                }
                const std::vector<ObjPos> poses = DecodePoseList(m.body);
                return std::any_of(poses.begin(), poses.end(), [&](const ObjPos& p) {
                    return p.id == m_userId && p.kind == 0 && p.x == to.x && p.y == to.y;
                });
            };
            const bool answered = client.WaitUntil(shows, kMoveTimeout).has_value();
            // A move cut off with its connection is the interruption's, not
            // a move the world lost.
            if (answered || client.IsOpen()) {
                std::lock_guard lock(m_shared.mutex);
                ++m_shared.result.movesSent;
                ++(answered ? m_shared.result.movesAnswered : m_shared.result.movesUnanswered);
            }
            next = std::max(next + m_period, Clock::now());
            const auto until = std::min(next, m_shared.end);
            client.WaitUntil([](const CServerMessage&) { return false; },
                             std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()));
        }
    }

    void Broke()
    {
        std::lock_guard lock(m_shared.mutex);
        BrokeLocked();
    }

    // The first error since the player last played starts the gap.
    void BrokeLocked()
    {
        if (!m_brokenAt) {
            m_brokenAt = Clock::now();
            ++m_shared.result.interruptions;
        }
    }

    void Recovered()
    {
        if (!m_brokenAt) {
            return;
        }
        std::lock_guard lock(m_shared.mutex);
        Gap(Clock::now() - *m_brokenAt);
        m_brokenAt.reset();
    }

    void Gap(Clock::duration gap)
    {
        const double ms = std::chrono::duration<double, std::milli>(gap).count();
        m_shared.result.longestGapMs = std::max(m_shared.result.longestGapMs, ms);
        if (ms > kFleetGapLimitMs) {
            ++m_shared.result.gapsOverLimit;
        }
    }

    CShared& m_shared;
    std::mt19937 m_rng;
    std::size_t m_nextHost;
    Clock::duration m_period{};
    uint32_t m_userId = 0;
    std::optional<Clock::time_point> m_brokenAt;
};

} // namespace

bool CFleetResult::Failed() const
{
    const bool refusedForMoreThanADrain = std::any_of(
        refusals.begin(), refusals.end(), [](const auto& entry) { return entry.first != kLoginDraining && entry.second > 0; });
    return gapsOverLimit > 0 || refusedForMoreThanADrain || movesUnanswered > 0 || playingAtEnd < users;
}

std::optional<CWsUrl> ParseHttpUrl(std::string_view text, std::string& error)
{
    constexpr std::string_view kScheme = "http://";
    if (!text.starts_with(kScheme)) {
        error = "only http:// URLs are supported";
        return std::nullopt;
    }
    return ParseWsUrl("ws://" + std::string(text.substr(kScheme.size())), error);
}

CFleetResult RunFleet(const CBotOptions& options, std::ostream& status)
{
    CShared shared{options, {}, {}, {}, {}, {}, {}};
    for (const std::string& text : options.matchmake) {
        std::string error;
        shared.hosts.push_back(*ParseHttpUrl(text, error));
    }
    shared.start = Clock::now();
    shared.end = shared.start + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(options.ramp + options.duration));
    shared.result.users = options.users;

    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < options.users; ++i) {
        const double at = options.users > 1 ? options.ramp * i / (options.users - 1) : 0.0;
        threads.emplace_back([&shared, i, at] {
            std::this_thread::sleep_until(shared.start + std::chrono::duration_cast<Clock::duration>(
                                                             std::chrono::duration<double>(at)));
            CFleetPlayer(shared, i).Run();
        });
    }
    // Who plays is read just before the end, while every player still does.
    const auto lastLook = shared.end - 300ms;
    for (auto tick = shared.start + 1s;; tick += 1s) {
        std::this_thread::sleep_until(std::min(tick, lastLook));
        const uint32_t playing = shared.playing;
        if (tick >= lastLook) {
            shared.result.playingAtEnd = playing;
        }
        if (!options.quiet) {
            std::lock_guard lock(shared.mutex);
            status << "fleet " << std::fixed << std::setprecision(0)
                   << std::chrono::duration<double>(Clock::now() - shared.start).count() << "s  playing " << playing
                   << "/" << options.users << "  moved " << shared.result.moved << "  longest gap "
                   << shared.result.longestGapMs << " ms" << std::endl;
        }
        if (tick >= lastLook) {
            break;
        }
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    shared.result.durationS = std::chrono::duration<double>(Clock::now() - shared.start).count();
    return shared.result;
}

void WriteFleetSummary(std::ostream& out, const CFleetResult& r)
{
    out << std::fixed << std::setprecision(1) << "fleet: " << r.users << " players, " << r.durationS << " s\n"
        << "  playing at the end   " << r.playingAtEnd << "/" << r.users << "\n"
        << "  logins               " << r.logins << " (matchmakes " << r.matchmakes << ", failed "
        << r.matchmakeFailures << ")\n"
        << "  moved by a drain     " << r.moved << "\n"
        << "  interruptions        " << r.interruptions << ", longest gap to play again " << r.longestGapMs
        << " ms, over " << kFleetGapLimitMs / 1000 << " s: " << r.gapsOverLimit << "\n"
        << "  moves                " << r.movesSent << " sent, " << r.movesAnswered << " answered, "
        << r.movesUnanswered << " unanswered\n"
        << "  refused logins      ";
    if (r.refusals.empty()) {
        out << " none";
    }
    for (const auto& [code, count] : r.refusals) {
        out << " code " << code << " x" << count;
    }
    out << "\n  closes by the host  ";
    if (r.closes.empty()) {
        out << " none";
    }
    for (const auto& [code, count] : r.closes) {
        out << " " << code << " x" << count;
    }
    out << "\n" << (r.Failed() ? "FAILED" : "OK") << "\n";
}

void WriteFleetJson(std::ostream& out, const CFleetResult& r)
{
    const auto map = [&out](const auto& entries) {
        out << "{";
        bool first = true;
        for (const auto& [key, count] : entries) {
            out << (first ? "" : ", ") << "\"" << key << "\": " << count;
            first = false;
        }
        out << "}";
    };
    out << std::fixed << std::setprecision(1) << "{\n"
        << "  \"mode\": \"fleet\",\n"
        << "  \"users\": " << r.users << ",\n"
        << "  \"duration_s\": " << r.durationS << ",\n"
        << "  \"playing_at_end\": " << r.playingAtEnd << ",\n"
        << "  \"matchmakes\": " << r.matchmakes << ",\n"
        << "  \"matchmake_failures\": " << r.matchmakeFailures << ",\n"
        << "  \"logins\": " << r.logins << ",\n"
        << "  \"moved\": " << r.moved << ",\n"
        << "  \"interruptions\": " << r.interruptions << ",\n"
        << "  \"longest_gap_ms\": " << r.longestGapMs << ",\n"
        << "  \"gaps_over_limit\": " << r.gapsOverLimit << ",\n"
        << "  \"moves_sent\": " << r.movesSent << ",\n"
        << "  \"moves_answered\": " << r.movesAnswered << ",\n"
        << "  \"moves_unanswered\": " << r.movesUnanswered << ",\n"
        << "  \"refusals\": ";
    map(r.refusals);
    out << ",\n  \"closes\": ";
    map(r.closes);
    out << ",\n  \"failed\": " << (r.Failed() ? "true" : "false") << "\n}\n";
}
