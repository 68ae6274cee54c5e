#include "BotRun.h"

#include "Chaos.h"
#include "ClientProtocol.h"
#include "MoveTracker.h"
#include "ProcStats.h"
#include "StreamCheck.h"
#include "WsFrames.h"
#include "archive/Endian.h"
#include "easydemo/EasyDemo.h"
#include "game/HostProtocol.h"

#include <utility>

#include <boost/asio.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <deque>
#include <iomanip>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include <sys/resource.h>

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using archive_detail::LoadLE;

namespace {

constexpr std::string_view kHandshakeKey = "dGhlIHNhbXBsZSBub25jZQ==";

uint64_t MicrosBetween(Clock::time_point from, Clock::time_point to)
{
    return static_cast<uint64_t>(std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(to - from).count()));
}

// A frame a checked player received (its hash), or the start of a run of
// them, for the stream check on the main thread.
struct CFrameNote {
    uint32_t player = 0;
    bool runStart = false;
    uint64_t hash = 0;
};

// What the players of one I/O thread measured. The thread adds to it once
// per read or event; the main thread reads it once a second.
struct CWorkerStats {
    std::mutex mutex;
    CBotCounters counters;
    CLatencyHistogram moves;
    CLatencyHistogram attacks;
    CLatencyHistogram movesThisSecond;
    CLatencyHistogram resumes;
    std::vector<CFrameNote> frames;
    // The control was cut off or had to resume.
    bool controlBroken = false;
};

// What every player shares, read-only once the run starts, plus the
// count of players whose connection has ended.
struct CShared {
    const CBotOptions& options;
    tcp::endpoint endpoint;
    std::string handshake;
    std::string loginFrame;
    std::atomic<uint32_t> finished{0};
    tcp::endpoint controlEndpoint;
    std::string controlHandshake;
    // Players cut and not back yet.
    std::atomic<int> away{0};
};

// Connection attempts of a player that is away: the first at once, then
// doubling up to a second, for at most a minute.
constexpr auto kReconnectFirst = std::chrono::milliseconds(50);
constexpr auto kReconnectMax = std::chrono::seconds(1);
constexpr auto kAwayLimit = std::chrono::seconds(60);

class CPlayer {
public:
    CPlayer(asio::io_context& io, CShared& shared, CWorkerStats& stats, uint32_t index, bool idle)
        : m_shared(shared), m_stats(stats), m_socket(io), m_timer(io), m_watch(io), m_index(index), m_idle(idle),
          m_decodes(idle || shared.options.Decodes(index)),
          m_control(!idle && index == 0 && shared.options.Resumes()),
          m_checks(!idle && m_decodes && shared.options.Resumes()),
          m_rng(static_cast<uint32_t>(shared.options.seed * 1000003u + index)), m_mask(index * 2654435761u + 1)
    {
        const double rate = shared.options.rate;
        m_period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(rate > 0 ? 1.0 / rate : 1e9));
    }

    void Start(Clock::duration delay)
    {
        m_timer.expires_after(delay);
        m_timer.async_wait([this](boost::system::error_code ec) {
            if (!ec) {
                Connect();
            }
        });
    }

    void BeginLoad(Clock::time_point start)
    {
        if (m_checks) {
            m_recording = true;
            std::lock_guard lock(m_stats.mutex);
            m_stats.frames.push_back({m_index, true, 0});
        }
        if (m_idle || m_state != EState::kReady || m_shared.options.rate <= 0) {
            return;
        }
        m_loading = true;
        // Spread the players over one period so that they do not all act
        // in the same instant.
        m_next = start + std::chrono::duration_cast<Clock::duration>(m_period * std::uniform_real_distribution<double>(0, 1)(m_rng));
        ArmTimer();
    }

    void EndLoad()
    {
        m_loading = false;
        if (!m_away) {
            m_timer.cancel();
        }
    }

    // Whether --chaos may cut this player now (read by the main thread).
    bool Cuttable() const { return m_cuttable.load(std::memory_order_relaxed); }

    // Cuts the connection without a close frame, between two of the
    // player's own messages (never inside one, so that every move it sent
    // reached the host whole), and resumes on a new connection.
    void Cut()
    {
        if (m_state != EState::kReady || m_control) {
            return;
        }
        m_cuttable = false;
        {
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.cuts;
        }
        if (m_writing || !m_out.empty()) {
            m_cutPending = true;
            return;
        }
        CutNow();
    }

    void Close()
    {
        m_timer.cancel();
        m_watch.cancel();
        m_cuttable = false;
        if (m_state == EState::kClosed || m_state == EState::kClosing) {
            return;
        }
        if (m_state == EState::kWaiting || m_state == EState::kConnecting || m_state == EState::kHandshake ||
            m_state == EState::kAway) {
            Finish();
            return;
        }
        m_state = EState::kClosing;
        const char code[2] = {static_cast<char>(1000 >> 8), static_cast<char>(1000 & 0xFF)};
        SendFrame(EWsOpcode::kClose, std::string_view(code, 2));
    }

private:
    // kResuming: Resume sent, waiting for ResumeAck and the new token.
    // kAway: cut, waiting to connect again.
    enum class EState { kWaiting, kConnecting, kHandshake, kLogin, kEntering, kReady, kResuming, kAway, kClosing, kClosed };

    void Connect()
    {
        m_state = EState::kConnecting;
        const tcp::endpoint& endpoint = m_control ? m_shared.controlEndpoint : m_shared.endpoint;
        m_socket.async_connect(endpoint, [this, conn = m_conn](boost::system::error_code ec) {
            if (conn != m_conn) {
                return;
            }
            if (ec) {
                if (m_away) {
                    Reconnect();
                } else {
                    Refuse();
                }
                return;
            }
            m_socket.set_option(tcp::no_delay(true), ec);
            m_state = EState::kHandshake;
            m_out = m_control ? m_shared.controlHandshake : m_shared.handshake;
            Flush();
            Read();
        });
        m_lastRecv = Clock::now();
        Watch();
    }

    void Read()
    {
        const std::span<uint8_t> space = m_reader.Space();
        m_socket.async_read_some(asio::buffer(space.data(), space.size()),
                                 [this, conn = m_conn](boost::system::error_code ec, std::size_t n) {
                                     if (conn == m_conn) {
                                         OnRead(ec, n);
                                     }
                                 });
    }

    // --silence: a connection that has received nothing for that long is
    // given up as dead and resumed; an attempt to get back that hangs that
    // long (a SYN into a dead link) is given up and made again.
    void Watch()
    {
        const double silence = m_shared.options.silence;
        if (silence <= 0 || m_idle) {
            return;
        }
        const auto limit = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(silence));
        m_watch.expires_after(limit / 4);
        m_watch.async_wait([this, conn = m_conn, limit](boost::system::error_code ec) {
            if (ec || conn != m_conn || m_state == EState::kClosing || m_state == EState::kClosed) {
                return;
            }
            const bool stale = Clock::now() - m_lastRecv > limit;
            if (stale && m_away && m_state != EState::kAway) {
                boost::system::error_code ignored;
                m_socket.close(ignored);
                ++m_conn;
                Reconnect();
                return;
            }
            if (stale && m_state == EState::kReady) {
                m_moves.MarkInDeadLink();
                m_attacksInDeadLink += m_attacks.size();
                if (m_control) {
                    std::lock_guard lock(m_stats.mutex);
                    m_stats.controlBroken = true;
                }
                CutNow();
                std::lock_guard lock(m_stats.mutex);
                ++m_stats.counters.silenceCuts;
                return;
            }
            Watch();
        });
    }

    // Closes the socket without a close frame (every other time with a
    // reset), and connects again.
    void CutNow()
    {
        m_cuttable = false;
        m_cutPending = false;
        boost::system::error_code ignored;
        if (m_cuts++ % 2 == 1) {
            m_socket.set_option(asio::socket_base::linger(true, 0), ignored);
        }
        m_socket.close(ignored);
        ++m_conn;
        m_timer.cancel();
        m_watch.cancel();
        m_writing = false;
        m_out.clear();
        if (!m_away) {
            SetAway(true);
            m_cutAt = Clock::now();
            m_attempt = 0;
            if (!m_session.Resumable()) {
                std::lock_guard lock(m_stats.mutex);
                ++m_stats.counters.cutsWithoutToken;
            }
        }
        m_state = EState::kAway;
        Reconnect();
    }

    // The next connection attempt of a player that is away: it resumes when
    // it holds a token, else logs in afresh.
    void Reconnect()
    {
        m_state = EState::kAway;
        if (Clock::now() - m_cutAt > kAwayLimit) {
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.resumesAbandoned;
            ++m_stats.counters.cutOff;
            Finish();
            return;
        }
        const auto delay = m_attempt == 0 ? Clock::duration::zero()
                                          : std::chrono::duration_cast<Clock::duration>(std::min<Clock::duration>(
                                                kReconnectMax, kReconnectFirst * (1 << std::min(m_attempt, 5u))));
        ++m_attempt;
        m_timer.expires_after(delay);
        m_timer.async_wait([this, conn = m_conn](boost::system::error_code ec) {
            if (ec || conn != m_conn || m_state != EState::kAway) {
                return;
            }
            boost::system::error_code ignored;
            m_socket.close(ignored);
            ++m_conn;
            m_reader = CWsFrameReader();
            m_inflater.reset();
            m_badDeflate = false;
            m_discarding = false;
            m_gotClose = false;
            m_writing = false;
            m_out.clear();
            m_lastRecv = Clock::now();
            Connect();
        });
    }

    void OnRead(boost::system::error_code ec, std::size_t n)
    {
        if (ec) {
            OnDisconnected();
            return;
        }
        m_lastRecv = Clock::now();
        const uint64_t conn = m_conn;
        m_reader.Commit(n);
        if (m_state == EState::kHandshake && !ReadHandshake()) {
            if (m_state == EState::kHandshake) {
                Read();
            }
            return;
        }
        m_now = Clock::now();
        m_frames = 0;
        m_decoded = 0;
        const bool ok = m_reader.Parse([this](EWsOpcode opcode, std::string_view payload, bool compressed) {
            OnMessage(opcode, payload, compressed);
        }) && !m_badDeflate;
        {
            std::lock_guard lock(m_stats.mutex);
            m_stats.counters.framesReceived += m_frames;
            m_stats.counters.bytesReceived += n;
            m_stats.counters.bytesDecoded += m_decoded;
            if (!ok) {
                ++m_stats.counters.protocolErrors;
            }
            m_stats.frames.insert(m_stats.frames.end(), m_notes.begin(), m_notes.end());
        }
        m_notes.clear();
        // A refused resume has replaced the connection meanwhile.
        if (conn != m_conn) {
            return;
        }
        if (!ok) {
            CutOff(1002);
            return;
        }
        if (m_state != EState::kClosed) {
            Read();
        }
    }

    // True once the upgrade answer is complete and accepted.
    bool ReadHandshake()
    {
        const std::string_view pending = m_reader.Pending();
        const std::size_t end = pending.find("\r\n\r\n");
        if (end == std::string_view::npos) {
            if (pending.size() > 16384) {
                Refuse();
            }
            return false;
        }
        if (!pending.starts_with("HTTP/1.1 101")) {
            Refuse();
            return false;
        }
        if (m_shared.options.deflate) {
            std::string head(pending.substr(0, end));
            std::transform(head.begin(), head.end(), head.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (head.find("\r\nsec-websocket-extensions: permessage-deflate") != std::string::npos) {
                m_inflater.emplace();
                m_reader.AllowCompressed();
                std::lock_guard lock(m_stats.mutex);
                ++m_stats.counters.deflateAgreed;
            }
        }
        m_reader.Drop(end + 4);
        if (m_idle) {
            m_state = EState::kReady;
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.idleConnected;
            return true;
        }
        {
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.connected;
        }
        if (m_away && m_session.Resumable()) {
            m_state = EState::kResuming;
            SendFrame(EWsOpcode::kBinary,
                      CorvaneClient::Frame(kHostModuleId, kCmdResume,
                                           CorvaneClient::EncodeResume(m_session.token, m_session.frames)));
            return true;
        }
        // Cut before the host sent a token, or refused: a fresh login.
        m_state = EState::kLogin;
        SendFrame(EWsOpcode::kBinary, m_shared.loginFrame);
        return true;
    }

    void OnMessage(EWsOpcode opcode, std::string_view payload, bool compressed)
    {
        ++m_frames;
        if (m_state == EState::kAway) {
            // The rest of a connection whose resume was refused.
            return;
        }
        if (m_discarding && (opcode == EWsOpcode::kText || opcode == EWsOpcode::kBinary)) {
            // Its history is broken by the first skipped message: of no use again.
            m_inflater.reset();
            // Once entered, the host sends nothing of its own unasked: every
            // message is the module's.
            ++m_session.frames;
            return;
        }
        if (compressed) {
            const std::optional<std::string_view> inflated = m_inflater->Inflate(payload);
            if (!inflated) {
                m_badDeflate = true;
                return;
            }
            payload = *inflated;
        }
        switch (opcode) {
        case EWsOpcode::kBinary:
            m_decoded += payload.size();
            OnGameMessage(reinterpret_cast<const uint8_t*>(payload.data()), payload.size());
            break;
        case EWsOpcode::kPing:
            if (m_state != EState::kClosing) {
                SendFrame(EWsOpcode::kPong, payload);
            }
            break;
        case EWsOpcode::kClose:
            OnCloseFrame(CloseCodeOf(payload));
            break;
        default:
            break;
        }
    }

    // Most frames are other players' moves: only the 4-byte frame is looked
    // at, and a PoseList is scanned only while this player waits for one.
    void OnGameMessage(const uint8_t* p, std::size_t size)
    {
        if (size < 4) {
            return;
        }
        const uint16_t module = LoadLE<uint16_t>(p);
        const uint16_t cmd = LoadLE<uint16_t>(p + 2);
        if (module != kHostModuleId) {
            ++m_session.frames;
            if (m_recording && m_state == EState::kReady) {
                m_notes.push_back({m_index, false, FrameHash(std::string_view(reinterpret_cast<const char*>(p), size))});
            }
        }
        if (module == kHostModuleId && m_state == EState::kResuming) {
            OnResumeMessage(cmd, std::string_view(reinterpret_cast<const char*>(p + 4), size - 4));
            return;
        }
        if (module == kHostModuleId && cmd == kMsgResumeToken) {
            if (auto token = ParseResumeToken(std::string_view(reinterpret_cast<const char*>(p + 4), size - 4))) {
                m_session.token = std::move(*token);
            }
            return;
        }
        if (module == EasyDemo::kModuleId) {
            if (cmd == EasyDemo::kPoseList && m_moves.Waiting()) {
                OnPoseList(p, size);
            } else if (cmd == EasyDemo::kAttackNotify && !m_attacks.empty() && size >= 8 &&
                       LoadLE<uint32_t>(p + 4) == m_userId) {
                const uint64_t micros = MicrosBetween(m_attacks.front(), m_now);
                m_attacks.pop_front();
                std::lock_guard lock(m_stats.mutex);
                ++m_stats.counters.attacksAnswered;
                m_stats.attacks.Record(micros);
            } else if (cmd == EasyDemo::kEnterSceneAck && m_state == EState::kEntering && size >= 12) {
                m_moves.SetPosition(Pos{LoadLE<int16_t>(p + 8), LoadLE<int16_t>(p + 10)});
                m_state = EState::kReady;
                m_discarding = !m_decodes;
                m_cuttable = !m_control && m_shared.options.chaos > 0;
                if (m_away) {
                    // In again after a refused resume: a new user, a new run.
                    SetAway(false);
                    if (m_recording) {
                        m_notes.push_back({m_index, true, 0});
                    }
                    Rearm();
                    return;
                }
                std::lock_guard lock(m_stats.mutex);
                ++m_stats.counters.entered;
                if (m_decodes) {
                    ++m_stats.counters.decoding;
                }
            }
        } else if (module == kHostModuleId && cmd == kMsgLoginAck && m_state == EState::kLogin && size >= 12) {
            const int32_t code = LoadLE<int32_t>(p + 4);
            if (code != kLoginOk) {
                m_refused = true;
                std::lock_guard lock(m_stats.mutex);
                ++m_stats.counters.refused;
                return;
            }
            m_userId = LoadLE<uint32_t>(p + 8);
            m_session = CResumeSession{};
            m_state = EState::kEntering;
            SendFrame(EWsOpcode::kBinary, CorvaneClient::Frame(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
        }
    }

    // ResumeAck 0, then the new token: back where it was. A refusal: the
    // host has logged the user out; the player logs in afresh at once on a
    // new connection (the host closes this one).
    void OnResumeMessage(uint16_t cmd, std::string_view body)
    {
        if (cmd == kMsgResumeAck) {
            const std::optional<CorvaneClient::CResumeAck> ack = ParseResumeAck(body);
            if (ack && ack->code == kResumeOk && ack->userId == m_userId) {
                m_session.token.clear();
                return;
            }
            std::lock_guard lock(m_stats.mutex);
            if (!ack || ack->code == kResumeOk) {
                ++m_stats.counters.protocolErrors;
            } else {
                ++m_stats.counters.resumesRefused;
                ++m_stats.counters.resumeRefusals[ResumeCodeName(ack->code)];
            }
            if (m_control) {
                m_stats.controlBroken = true;
            }
            m_session = CResumeSession{};
            m_attempt = 0;
            m_state = EState::kAway;
            asio::post(m_socket.get_executor(), [this, conn = m_conn] {
                if (conn == m_conn) {
                    CutNow();
                }
            });
            return;
        }
        if (cmd == kMsgResumeToken && m_session.token.empty()) {
            if (auto token = ParseResumeToken(body)) {
                m_session.token = std::move(*token);
                FinishResume();
            }
        }
    }

    void FinishResume()
    {
        m_state = EState::kReady;
        SetAway(false);
        m_discarding = !m_decodes;
        m_cuttable = !m_control && m_shared.options.chaos > 0;
        const uint64_t micros = MicrosBetween(m_cutAt, Clock::now());
        {
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.resumesOk;
            m_stats.resumes.Record(micros);
            if (m_control) {
                m_stats.controlBroken = true;
            }
        }
        Rearm();
    }

    void SetAway(bool away)
    {
        if (away != m_away) {
            m_away = away;
            m_shared.away.fetch_add(away ? 1 : -1);
        }
    }

    // Back to acting on the schedule, without the slots missed while away.
    void Rearm()
    {
        if (!m_loading) {
            return;
        }
        m_next = std::max(m_next, Clock::now());
        ArmTimer();
    }

    void OnPoseList(const uint8_t* p, std::size_t size)
    {
        const auto entries = PoseListEntries(p, size);
        if (!entries) {
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.protocolErrors;
            return;
        }
        const std::size_t count = entries->size() / ObjPos::kWireSize;
        if (count > 0) {
            const uint8_t* pick = entries->data() + (m_rng() % count) * ObjPos::kWireSize;
            m_attackTarget = {LoadLE<uint32_t>(pick), pick[4]};
        }
        const auto answer = m_moves.OnPoseList(*entries, m_userId, m_now);
        if (!answer) {
            return;
        }
        std::lock_guard lock(m_stats.mutex);
        ++m_stats.counters.movesAnswered;
        m_stats.counters.movesSkipped += answer->skipped;
        m_stats.counters.movesUndelivered += answer->skippedInDeadLink;
        m_stats.moves.Record(answer->micros);
        m_stats.movesThisSecond.Record(answer->micros);
    }

    void OnCloseFrame(uint16_t code)
    {
        if (m_state == EState::kClosing) {
            Finish();
            return;
        }
        m_gotClose = true;
        const char echo[2] = {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
        SendFrame(EWsOpcode::kClose, std::string_view(echo, code == 1005 ? 0 : 2));
        CutOff(code);
    }

    void OnDisconnected()
    {
        if (m_state == EState::kHandshake || m_state == EState::kConnecting) {
            Refuse();
            return;
        }
        if (m_away && m_state != EState::kClosing && m_state != EState::kClosed) {
            // The new connection failed before the resume or the fresh
            // login was through: try again.
            Reconnect();
            return;
        }
        if (m_state != EState::kClosing && m_state != EState::kClosed && !m_gotClose) {
            CutOff(1006);
            return;
        }
        Finish();
    }

    // The server ended a connection we did not ask to end.
    void CutOff(uint16_t code)
    {
        if (m_state == EState::kClosed) {
            return;
        }
        {
            std::lock_guard lock(m_stats.mutex);
            ++m_stats.counters.closes[code];
            if (m_idle) {
                ++m_stats.counters.idleClosed;
            } else if (!m_refused) {
                ++m_stats.counters.cutOff;
            }
        }
        // Give the echoed close frame a moment to leave.
        m_state = EState::kClosing;
        m_timer.expires_after(std::chrono::milliseconds(200));
        m_timer.async_wait([this](boost::system::error_code) { Finish(); });
    }

    void Refuse()
    {
        if (m_state == EState::kClosed) {
            return;
        }
        if (m_away) {
            Reconnect();
            return;
        }
        {
            std::lock_guard lock(m_stats.mutex);
            if (m_idle) {
                ++m_stats.counters.idleClosed;
            } else {
                ++m_stats.counters.refused;
            }
        }
        Finish();
    }

    void Finish()
    {
        if (m_state == EState::kClosed) {
            return;
        }
        m_state = EState::kClosed;
        SetAway(false);
        {
            // What went out on a dead link and was never answered. Attacks
            // are answered in order, so only their number is known.
            std::lock_guard lock(m_stats.mutex);
            m_stats.counters.movesUndelivered += m_moves.PendingInDeadLink();
            m_stats.counters.attacksUndelivered += std::min<uint64_t>(m_attacks.size(), m_attacksInDeadLink);
        }
        m_timer.cancel();
        m_watch.cancel();
        m_cuttable = false;
        boost::system::error_code ignored;
        m_socket.shutdown(tcp::socket::shutdown_both, ignored);
        m_socket.close(ignored);
        m_shared.finished.fetch_add(1);
    }

    void ArmTimer()
    {
        m_timer.expires_at(m_next);
        m_timer.async_wait([this](boost::system::error_code ec) {
            if (!ec && m_loading && m_state == EState::kReady) {
                OnSchedule();
            }
        });
    }

    // A fixed-rate schedule: each action has its slot; slots missed by more
    // than a second are dropped and counted rather than fired in a burst
    // that the host's rate limit would punish.
    void OnSchedule()
    {
        const Clock::time_point now = Clock::now();
        while (m_next <= now) {
            if (now - m_next > std::chrono::seconds(1)) {
                const auto missed = static_cast<uint64_t>((now - m_next) / m_period);
                m_next += m_period * missed;
                std::lock_guard lock(m_stats.mutex);
                m_stats.counters.actionsLate += missed;
                continue;
            }
            Act(now);
            m_next += m_period;
        }
        ArmTimer();
    }

    void Act(Clock::time_point now)
    {
        const CActionMix& mix = m_shared.options.mix;
        const EAction action = mix.Pick(static_cast<uint32_t>(m_rng() % mix.Total()));
        std::string message;
        switch (action) {
        case EAction::kMove: {
            const Pos target = m_moves.PickTarget(m_rng);
            if (m_decodes) {
                m_moves.Sent(target, now);
            } else {
                // Never sees its answer: assume it, so that every move is to a new cell.
                m_moves.SetPosition(target);
            }
            message = CorvaneClient::Frame(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, CorvaneClient::EncodeMoveTo(target));
            break;
        }
        case EAction::kAttack:
        case EAction::kArea: {
            const bool area = action == EAction::kArea;
            // Until a PoseList has shown somebody else, the player hits itself.
            const uint32_t toId = m_attackTarget.first ? m_attackTarget.first : m_userId;
            if (m_decodes) {
                m_attacks.push_back(now);
            }
            message = CorvaneClient::Frame(
                EasyDemo::kModuleId, EasyDemo::kCmdAttack,
                CorvaneClient::EncodeAttack(toId, m_attackTarget.first ? m_attackTarget.second : 0,
                                            area ? EasyDemo::kAreaAttack : 0));
            break;
        }
        case EAction::kTalk:
            message = CorvaneClient::Frame(EasyDemo::kModuleId, EasyDemo::kCmdTalk, CorvaneClient::EncodeTalk("hello"));
            break;
        }
        SendFrame(EWsOpcode::kBinary, message);
        std::lock_guard lock(m_stats.mutex);
        if (!m_decodes && action != EAction::kTalk) {
            ++(action == EAction::kMove ? m_stats.counters.movesUnchecked : m_stats.counters.attacksUnchecked);
            return;
        }
        switch (action) {
        case EAction::kMove: ++m_stats.counters.movesSent; break;
        case EAction::kAttack: ++m_stats.counters.attacksSent; break;
        case EAction::kArea:
            ++m_stats.counters.attacksSent;
            ++m_stats.counters.areasSent;
            break;
        case EAction::kTalk: ++m_stats.counters.talksSent; break;
        }
    }

    void SendFrame(EWsOpcode opcode, std::string_view payload)
    {
        m_mask = m_mask * 1664525u + 1013904223u;
        AppendClientFrame(m_out, opcode, payload, m_mask);
        Flush();
    }

    void Flush()
    {
        if (m_writing || m_out.empty() || m_state == EState::kClosed) {
            return;
        }
        m_writing = true;
        m_inFlight.swap(m_out);
        asio::async_write(m_socket, asio::buffer(m_inFlight),
                          [this, conn = m_conn](boost::system::error_code ec, std::size_t) {
                              if (conn != m_conn) {
                                  return;
                              }
                              m_writing = false;
                              m_inFlight.clear();
                              if (ec) {
                                  return;
                              }
                              if (m_cutPending && m_out.empty()) {
                                  CutNow();
                                  return;
                              }
                              Flush();
                          });
    }

    CShared& m_shared;
    CWorkerStats& m_stats;
    tcp::socket m_socket;
    asio::steady_timer m_timer;
    // --silence: looks at the connection a few times per silence period.
    asio::steady_timer m_watch;
    uint32_t m_index;
    bool m_idle;
    // In the decoding sample; a player outside it discards data messages
    // once it has entered.
    bool m_decodes;
    bool m_discarding = false;
    // Player 0 when players resume: never cut, the others' frames are
    // compared with its frames.
    bool m_control;
    // Its frames go to the stream check.
    bool m_checks;
    bool m_recording = false;
    std::vector<CFrameNote> m_notes;
    CResumeSession m_session;
    // Bumped by each new connection: handlers of an older one do nothing.
    uint64_t m_conn = 0;
    // Cut, and not yet resumed or in afresh.
    bool m_away = false;
    bool m_cutPending = false;
    std::atomic<bool> m_cuttable{false};
    uint32_t m_cuts = 0;
    uint32_t m_attempt = 0;
    // Attacks waiting for answers when a connection was given up as dead.
    uint64_t m_attacksInDeadLink = 0;
    Clock::time_point m_cutAt;
    Clock::time_point m_lastRecv;
    std::mt19937 m_rng;
    uint32_t m_mask;
    EState m_state = EState::kWaiting;
    CWsFrameReader m_reader;
    std::optional<CWsInflater> m_inflater; // permessage-deflate agreed
    bool m_badDeflate = false;
    std::string m_out;
    std::string m_inFlight;
    bool m_writing = false;
    bool m_refused = false;
    bool m_gotClose = false;
    bool m_loading = false;
    uint32_t m_userId = 0;
    std::pair<uint32_t, uint8_t> m_attackTarget{0, 0};
    CMoveTracker m_moves;
    std::deque<Clock::time_point> m_attacks;
    Clock::duration m_period{};
    Clock::time_point m_next;
    Clock::time_point m_now;
    uint64_t m_frames = 0;
    uint64_t m_decoded = 0;
};

struct CWorker {
    asio::io_context io{1};
    CWorkerStats stats;
    std::vector<std::unique_ptr<CPlayer>> players;
    std::thread thread;
};

struct CSnapshot {
    CBotCounters counters;
    CLatencyHistogram moves;
    CLatencyHistogram attacks;
    CLatencyHistogram movesThisSecond;
    CLatencyHistogram resumes;
    bool controlBroken = false;
};

CSnapshot TakeSnapshot(std::vector<std::unique_ptr<CWorker>>& workers)
{
    CSnapshot s;
    for (auto& w : workers) {
        std::lock_guard lock(w->stats.mutex);
        s.counters.Merge(w->stats.counters);
        s.moves.Merge(w->stats.moves);
        s.attacks.Merge(w->stats.attacks);
        s.movesThisSecond.Merge(w->stats.movesThisSecond);
        w->stats.movesThisSecond.Reset();
        s.resumes.Merge(w->stats.resumes);
        s.controlBroken = s.controlBroken || w->stats.controlBroken;
    }
    return s;
}

// Hands the frames the players noted to the stream check, in each player's
// order, and compares what can be compared.
void CheckFrames(std::vector<std::unique_ptr<CWorker>>& workers, CStreamCheck& check, bool final)
{
    std::vector<CFrameNote> notes;
    for (auto& w : workers) {
        {
            std::lock_guard lock(w->stats.mutex);
            notes.swap(w->stats.frames);
        }
        for (const CFrameNote& note : notes) {
            if (note.player == 0) {
                if (!note.runStart) {
                    check.AddControl(std::span(&note.hash, 1));
                }
            } else if (note.runStart) {
                check.StartRun(note.player);
            } else {
                check.AddPlayer(note.player, std::span(&note.hash, 1));
            }
        }
        notes.clear();
    }
    check.Advance(final);
}

std::string Ms(uint64_t micros)
{
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << static_cast<double>(micros) / 1000.0;
    return text.str();
}

void RaiseFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

class CStatusLine {
public:
    CStatusLine(std::ostream& out, bool tty, bool quiet) : m_out(out), m_tty(tty), m_quiet(quiet) {}
    ~CStatusLine() { Done(); }

    void Show(const std::string& line)
    {
        if (m_quiet) {
            return;
        }
        if (m_tty) {
            m_out << "\r\033[K" << line << std::flush;
            m_open = true;
        } else {
            m_out << line << std::endl;
        }
    }
    void Done()
    {
        if (m_open) {
            m_out << "\n" << std::flush;
            m_open = false;
        }
    }

private:
    std::ostream& m_out;
    bool m_tty;
    bool m_quiet;
    bool m_open = false;
};

std::string StatusText(const char* phase, double t, const CBotOptions& o, const CSnapshot& s, double sentPerS,
                       double answeredPerS, double uncheckedPerS)
{
    std::ostringstream line;
    line << std::fixed << std::setprecision(0) << phase << " " << t << "s  players " << s.counters.entered << "/"
         << o.users;
    if (o.idle > 0) {
        line << " idle " << s.counters.idleConnected - s.counters.idleClosed << "/" << o.idle;
    }
    line << "  moves/s " << sentPerS << " sent " << answeredPerS << " answered";
    if (o.DecodingUsers() < o.users) {
        line << " (" << o.DecodingUsers() << " decoding; +" << uncheckedPerS << " unchecked)";
    }
    line << "  p50 " << Ms(s.moves.Quantile(0.5))
         << " ms p99 " << Ms(s.moves.Quantile(0.99)) << " ms  errors "
         << s.counters.refused + s.counters.cutOff + s.counters.protocolErrors << "  closes";
    if (s.counters.closes.empty()) {
        line << " none";
    }
    for (const auto& [code, count] : s.counters.closes) {
        line << " " << code << "x" << count;
    }
    return line.str();
}

} // namespace

CBotResult RunBot(const CBotOptions& options, std::ostream& status, bool tty)
{
    RaiseFileLimit();
    CShared shared{options, {}, {}, {}, {}, {}, {}, {}};
    {
        asio::io_context io;
        tcp::resolver resolver(io);
        boost::system::error_code ec;
        const auto results = resolver.resolve(options.endpoint.host, std::to_string(options.endpoint.port), ec);
        if (ec || results.empty()) {
            throw CBotSetupError("cannot resolve " + options.endpoint.host + ": " + ec.message());
        }
        shared.endpoint = results.begin()->endpoint();
        // A quick probe, so that a wrong address fails with one line rather
        // than as every player refused.
        tcp::socket probe(io);
        probe.connect(shared.endpoint, ec);
        if (ec) {
            throw CBotSetupError("cannot connect to " + options.url + ": " + ec.message());
        }
        const auto control = resolver.resolve(options.controlEndpoint.host, std::to_string(options.controlEndpoint.port), ec);
        if (ec || control.empty()) {
            throw CBotSetupError("cannot resolve " + options.controlEndpoint.host + ": " + ec.message());
        }
        shared.controlEndpoint = control.begin()->endpoint();
    }
    auto handshake = [&options](const CWsUrl& url) {
        return "GET " + url.target + " HTTP/1.1\r\nHost: " + url.host + ":" + std::to_string(url.port) +
               "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: " + std::string(kHandshakeKey) +
               "\r\nSec-WebSocket-Version: 13\r\n" +
               (options.deflate ? "Sec-WebSocket-Extensions: permessage-deflate; client_max_window_bits\r\n" : "") +
               "\r\n";
    };
    shared.handshake = handshake(options.endpoint);
    shared.controlHandshake = handshake(options.controlEndpoint);
    shared.loginFrame = CorvaneClient::Frame(kHostModuleId, kCmdLogin, CorvaneClient::EncodeLogin(options.token));

    const uint32_t threads = std::max<uint32_t>(1, options.threads);
    std::vector<std::unique_ptr<CWorker>> workers;
    for (uint32_t i = 0; i < threads; ++i) {
        workers.push_back(std::make_unique<CWorker>());
    }
    const uint32_t total = options.users + options.idle;
    for (uint32_t i = 0; i < total; ++i) {
        CWorker& w = *workers[i % threads];
        w.players.push_back(std::make_unique<CPlayer>(w.io, shared, w.stats, i, i >= options.users));
    }

    CBotResult result;
    result.url = options.url;
    result.users = options.users;
    result.idle = options.idle;
    result.rate = options.rate;
    result.threads = threads;
    result.deflate = options.deflate;
    result.decodeSample = options.DecodingUsers() < options.users ? options.decodeSample : 0;
    if (options.serverPid > 0) {
        result.serverRssBeforeKiB = ProcessRssKiB(options.serverPid);
    }

    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> guards;
    for (auto& w : workers) {
        guards.push_back(asio::make_work_guard(w->io));
        w->thread = std::thread([&io = w->io] { io.run(); });
    }
    auto forEachPlayer = [&](auto action) {
        for (auto& w : workers) {
            asio::post(w->io, [&w, action] {
                for (auto& p : w->players) {
                    action(*p);
                }
            });
        }
    };

    // Players connect spread over the ramp; idle connections all at once.
    const Clock::time_point begin = Clock::now();
    for (uint32_t k = 0; k < total; ++k) {
        CWorker& w = *workers[k % threads];
        CPlayer& player = *w.players[k / threads];
        const double at = k < options.users && options.users > 1 ? options.ramp * k / (options.users - 1) : 0.0;
        const auto delay = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(at));
        asio::post(w.io, [&player, delay] { player.Start(delay); });
    }

    CStatusLine line(status, tty, options.quiet);
    auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };

    // Connect: until every player entered or failed, and every idle
    // connection is up or failed.
    const auto connectLimit = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.ramp + 15.0));
    for (Clock::time_point tick = begin + std::chrono::seconds(1);; tick += std::chrono::seconds(1)) {
        bool settled = false;
        for (int step = 0; step < 20 && !settled; ++step) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            CSnapshot s = TakeSnapshot(workers);
            const CBotCounters& c = s.counters;
            settled = c.entered + c.refused + c.cutOff >= options.users && c.idleConnected + c.idleClosed >= options.idle;
        }
        if (settled || Clock::now() >= connectLimit) {
            break;
        }
        line.Show(StatusText("connecting", seconds(Clock::now() - begin), options, TakeSnapshot(workers), 0, 0, 0));
        std::this_thread::sleep_until(tick);
    }
    if (options.serverPid > 0) {
        result.serverRssKiB = ProcessRssKiB(options.serverPid);
    }

    // --chaos: the players to cut are drawn at random among those
    // connected and in, player 0 (the control) never.
    std::mt19937_64 chaosRng(options.seed ^ 0x5eedc4a05ULL);
    auto cutSome = [&](uint64_t count) {
        for (uint64_t n = 0; n < count; ++n) {
            for (int tries = 0; tries < 50; ++tries) {
                const auto k = static_cast<uint32_t>(1 + chaosRng() % (options.users - 1));
                CWorker& w = *workers[k % threads];
                CPlayer& player = *w.players[k / threads];
                if (player.Cuttable()) {
                    asio::post(w.io, [&player] { player.Cut(); });
                    break;
                }
            }
        }
    };
    CStreamCheck check;

    // Load.
    const Clock::time_point loadStart = Clock::now();
    CCutSchedule cuts(options.chaos, loadStart);
    // Sleeps until `until`, cutting connections as they fall due.
    auto waitCutting = [&](Clock::time_point until) {
        if (options.chaos <= 0 || options.users < 2) {
            std::this_thread::sleep_until(until);
            return;
        }
        for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
            std::this_thread::sleep_until(std::min(until, now + std::chrono::milliseconds(20)));
            cutSome(cuts.Due(Clock::now()));
        }
    };
    const double cpuStart = OwnCpuSeconds();
    const std::optional<double> serverCpuStart = options.serverPid > 0 ? ProcessCpuSeconds(options.serverPid) : std::nullopt;
    CSnapshot before = TakeSnapshot(workers);
    forEachPlayer([loadStart](CPlayer& p) { p.BeginLoad(loadStart); });
    const auto loadEnd = loadStart + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.duration));
    CBotCounters last = before.counters;
    std::optional<double> lastServerCpu = serverCpuStart;
    Clock::time_point lastTime = loadStart;
    for (Clock::time_point tick = loadStart + std::chrono::seconds(1);; tick += std::chrono::seconds(1)) {
        const Clock::time_point until = std::min(tick, loadEnd);
        waitCutting(until);
        if (options.Resumes()) {
            CheckFrames(workers, check, false);
        }
        const Clock::time_point now = Clock::now();
        CSnapshot s = TakeSnapshot(workers);
        const double span = std::max(1e-6, seconds(now - lastTime));
        CBotSecond second;
        second.t = seconds(now - loadStart);
        second.movesSent = static_cast<double>(s.counters.movesSent - last.movesSent) / span;
        second.movesAnswered = static_cast<double>(s.counters.movesAnswered - last.movesAnswered) / span;
        second.movesUnchecked = static_cast<double>(s.counters.movesUnchecked - last.movesUnchecked) / span;
        second.moveP50Ms = static_cast<double>(s.movesThisSecond.Quantile(0.5)) / 1000.0;
        second.moveP99Ms = static_cast<double>(s.movesThisSecond.Quantile(0.99)) / 1000.0;
        const double players = std::max<double>(1, static_cast<double>(s.counters.entered));
        second.wireBytesPerUser = static_cast<double>(s.counters.bytesReceived - last.bytesReceived) / span / players;
        second.decodedBytesPerUser = static_cast<double>(s.counters.bytesDecoded - last.bytesDecoded) / span /
                                     std::max<double>(1, static_cast<double>(s.counters.decoding));
        if (options.serverPid > 0) {
            const std::optional<double> cpu = ProcessCpuSeconds(options.serverPid);
            if (cpu && lastServerCpu) {
                second.serverCpu = (*cpu - *lastServerCpu) / span;
            }
            lastServerCpu = cpu;
        }
        result.seconds.push_back(second);
        line.Show(StatusText("load", second.t, options, s, second.movesSent, second.movesAnswered,
                             second.movesUnchecked));
        last = s.counters;
        lastTime = now;
        if (until >= loadEnd) {
            break;
        }
    }
    forEachPlayer([](CPlayer& p) { p.EndLoad(); });
    result.durationS = seconds(Clock::now() - loadStart);
    result.botCpuS = OwnCpuSeconds() - cpuStart;
    if (serverCpuStart) {
        if (const std::optional<double> end = ProcessCpuSeconds(options.serverPid)) {
            result.serverCpuS = *end - *serverCpuStart;
        }
    }
    {
        const CSnapshot atEnd = TakeSnapshot(workers);
        result.loadFrames = atEnd.counters.framesReceived - before.counters.framesReceived;
        result.loadBytes = atEnd.counters.bytesReceived - before.counters.bytesReceived;
        result.loadDecoded = atEnd.counters.bytesDecoded - before.counters.bytesDecoded;
    }

    // Drain: the answers still on their way.
    const auto drainEnd = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.drain));
    while (Clock::now() < drainEnd) {
        const CBotCounters c = TakeSnapshot(workers).counters;
        if (c.movesAnswered + c.movesSkipped + c.movesUndelivered >= c.movesSent && c.attacksAnswered >= c.attacksSent &&
            shared.away.load() == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }

    forEachPlayer([](CPlayer& p) { p.Close(); });
    const auto closeEnd = Clock::now() + std::chrono::seconds(3);
    while (shared.finished.load() < total && Clock::now() < closeEnd) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (auto& w : workers) {
        w->io.stop();
        w->thread.join();
    }
    line.Done();

    const CSnapshot s = TakeSnapshot(workers);
    if (options.Resumes()) {
        CheckFrames(workers, check, true);
        result.resumes = true;
        result.chaos = options.chaos;
        result.resumeTimes = s.resumes;
        result.controlBroken = s.controlBroken;
        result.framesCompared = check.Compared();
        result.framesLost = check.Lost();
        result.framesRepeated = check.Repeated();
        result.framesUnmatched = check.Unmatched();
        result.framesSkipped = check.Skipped();
    }
    result.counters = s.counters;
    result.moves = s.moves;
    result.attacks = s.attacks;
    result.movesUnanswered =
        s.counters.movesSent - s.counters.movesAnswered - s.counters.movesSkipped - s.counters.movesUndelivered;
    result.attacksUnanswered = s.counters.attacksSent - s.counters.attacksAnswered - s.counters.attacksUndelivered;
    return result;
}
