// Resume against the real host: a connection cut without a goodbye leaves
// its user logged in for the window, and a new connection with the user's
// token takes it over with nothing lost and nothing repeated; every other
// resume is refused with its code and reaches nothing.
#include "HostFixture.h"

#include "journal/Journal.h"

#include <csignal>
#include <filesystem>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace {

constexpr uint16_t kPolicyViolation = 1008;

struct CFrameLog {
    std::vector<CServerMessage> frames; // module frames, in order
};

// Takes what has arrived until nothing more comes for `quiet`.
void Drain(CGameClient& client, CFrameLog& log, std::chrono::milliseconds quiet = 300ms)
{
    while (auto message = client.Receive(quiet)) {
        if (message->moduleId != kHostModuleId) {
            log.frames.push_back(std::move(*message));
        }
    }
}

// The index of the first PoseList that shows `userId` at `at`.
std::size_t FindPoseAt(const CFrameLog& log, uint32_t userId, Pos at)
{
    for (std::size_t i = 0; i < log.frames.size(); ++i) {
        const CServerMessage& m = log.frames[i];
        if (m.moduleId == EasyDemo::kModuleId && m.cmd == EasyDemo::kPoseList) {
            const std::vector<ObjPos> poses = DecodePoseList(m.body);
            const ObjPos* pose = FindPose(poses, userId, 0);
            if (pose != nullptr && pose->x == at.x && pose->y == at.y) {
                return i;
            }
        }
    }
    return log.frames.size();
}

Pos Step(Pos start, int i)
{
    return Pos{static_cast<int16_t>(start.x + 1 + i % 5), static_cast<int16_t>(start.y + 1 + (i / 5) % 5)};
}

std::string Body(std::initializer_list<int> bytes)
{
    std::string out;
    for (int b : bytes) {
        out.push_back(static_cast<char>(b));
    }
    return out;
}

class HostResume : public CHostFixture {
protected:
    fs::path JournalPath() const { return m_host.Folder() / "session.journal"; }

    void StartRecording(std::vector<std::string> extra = {})
    {
        // No drain at the stop: the users the tests cut are kept, and would
        // hold a drain open for its whole time.
        std::vector<std::string> args{"--record", JournalPath().string(), "--rate",         "1000",
                                      "--burst",  "1000",                 "--drain-timeout", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        StartHost(args);
    }

    // Stops the host and reads its journal. The clients are cut first, so
    // that the stop need not wait for their closing handshakes.
    std::vector<Journal::CRecord> StopAndRead(std::initializer_list<CGameClient*> clients = {})
    {
        for (CGameClient* client : clients) {
            client->Cut();
        }
        m_host.Signal(SIGTERM);
        EXPECT_EQ(m_host.WaitExit(10s), 0);
        Journal::CJournalReader reader(JournalPath());
        std::vector<Journal::CRecord> records;
        while (auto record = reader.Next()) {
            records.push_back(std::move(*record));
        }
        return records;
    }

    static int Count(const std::vector<Journal::CRecord>& records, Journal::ERecord type, uint32_t userId)
    {
        int n = 0;
        for (const Journal::CRecord& r : records) {
            n += r.type == type && r.UserId() == userId ? 1 : 0;
        }
        return n;
    }

    // The position of the first record of `type` for the user; records.size() if none.
    static std::size_t First(const std::vector<Journal::CRecord>& records, Journal::ERecord type, uint32_t userId)
    {
        for (std::size_t i = 0; i < records.size(); ++i) {
            if (records[i].type == type && records[i].UserId() == userId) {
                return i;
            }
        }
        return records.size();
    }

    void CutAndCompare(bool deflate);

    std::unique_ptr<CGameClient> EnterSceneWith(bool deflate)
    {
        auto client = std::make_unique<CGameClient>();
        client->Connect({.port = m_host.Port(), .deflate = deflate});
        if (client->Login("").code != kLoginOk || !client->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene) ||
            !client->WaitFor(EasyDemo::kModuleId, EasyDemo::kEnterSceneAck, 3s)) {
            throw std::runtime_error("cannot enter the scene");
        }
        return client;
    }

    // A new connection for the cut client, which resumes.
    CResumeAck Reconnect(CGameClient& client, std::optional<uint32_t> frames = std::nullopt,
                         std::optional<std::string> token = std::nullopt, bool deflate = false)
    {
        client.Connect({.port = m_host.Port(), .deflate = deflate});
        return client.ResumeWith(token.value_or(client.ResumeToken()), frames.value_or(client.FramesReceived()));
    }

    std::unique_ptr<CGameClient> ConnectAndResume(const std::string& token, uint32_t frames, CResumeAck& ack)
    {
        auto client = Connect();
        ack = client->ResumeWith(token, frames);
        return client;
    }
};

} // namespace

// B is cut with a TCP reset while frames are on their way to it (some read,
// some still in its socket), misses more while away, and resumes: from the
// marker move on it has exactly the frames of C, who stood beside it all
// along on an uncut connection. With `deflate` the clients take the shared
// compressor's frames: B leaves the group at the cut and its new connection
// joins like any new one.
void HostResume::CutAndCompare(bool deflate)
{
    StartRecording();
    auto c = EnterSceneWith(deflate);
    auto b = EnterSceneWith(deflate);
    auto a = EnterSceneWith(deflate);
    ASSERT_EQ(b->ResumeToken().size(), kResumeTokenSize);
    const uint32_t bId = b->UserId();
    const Pos start{10, 10};
    const Pos marker = Step(start, 24);
    const Pos endMarker{static_cast<int16_t>(start.x + 6), static_cast<int16_t>(start.y + 6)};

    CFrameLog logB;
    CFrameLog logC;
    MoveRoundTrip(*a, marker);
    for (int i = 0; i < 6; ++i) {
        MoveRoundTrip(*a, Step(start, i));
    }
    // Each phase spans a tick: its lists of all objects are long enough to
    // be compressed.
    std::this_thread::sleep_for(1100ms);
    Drain(*b, logB, 100ms);
    for (int i = 6; i < 12; ++i) {
        MoveRoundTrip(*a, Step(start, i));
    }
    // These last frames are in B's socket, unread, when it is cut.
    b->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));
    EXPECT_EQ(Metric("corvane_users_online"), 3) << "a kept user stays logged in";
    EXPECT_GT(Metric("corvane_resume_kept_bytes").value_or(0), 0);
    for (int i = 12; i < 18; ++i) {
        MoveRoundTrip(*a, Step(start, i));
    }
    std::this_thread::sleep_for(1100ms);
    const std::string oldToken = b->ResumeToken();
    const CResumeAck ack = Reconnect(*b, std::nullopt, std::nullopt, deflate);
    ASSERT_EQ(ack.code, kResumeOk);
    EXPECT_EQ(ack.userId, bId);
    EXPECT_EQ(b->UserId(), bId);
    for (int i = 18; i < 24; ++i) {
        MoveRoundTrip(*a, Step(start, i));
    }
    std::this_thread::sleep_for(1100ms);
    MoveRoundTrip(*a, endMarker);
    Drain(*b, logB);
    Drain(*c, logC);
    EXPECT_NE(b->ResumeToken(), oldToken) << "a new token with every resume";
    EXPECT_EQ(b->ResumeToken().size(), kResumeTokenSize);

    // The frames from one marker to the other, ticks among them.
    const std::size_t fromB = FindPoseAt(logB, a->UserId(), marker);
    const std::size_t fromC = FindPoseAt(logC, a->UserId(), marker);
    const std::size_t toB = FindPoseAt(logB, a->UserId(), endMarker);
    const std::size_t toC = FindPoseAt(logC, a->UserId(), endMarker);
    ASSERT_LT(toB, logB.frames.size());
    ASSERT_LT(toC, logC.frames.size());
    ASSERT_LT(fromB, toB);
    ASSERT_LT(fromC, toC);
    ASSERT_EQ(toB - fromB, toC - fromC) << "frames lost or repeated";
    EXPECT_GT(toC - fromC, 30u);
    for (std::size_t i = 0; i <= toC - fromC; ++i) {
        const CServerMessage& x = logB.frames[fromB + i];
        const CServerMessage& y = logC.frames[fromC + i];
        ASSERT_TRUE(x.cmd == y.cmd && x.body == y.body) << "frame " << i << " after the marker differs";
    }
    EXPECT_TRUE(WaitMetric("corvane_users_kept", 0));
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"ok\"}"), 1);
    EXPECT_EQ(Metric("corvane_users_online"), 3);
    if (deflate) {
        EXPECT_GT(Metric("corvane_compression_bytes_after_total").value_or(0), 0);
        EXPECT_EQ(Metric("corvane_compression_group_members"), 3) << "the resumed connection joined at a tick";
    }

    // The resumed connection plays on.
    MoveRoundTrip(*b, Pos{3, 3});
    const auto records = StopAndRead({a.get(), b.get(), c.get()});
    EXPECT_EQ(Count(records, Journal::ERecord::Login, bId), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Resume, bId), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, bId), 1) << "only the stop logs it out";
    EXPECT_LT(First(records, Journal::ERecord::Resume, bId), First(records, Journal::ERecord::Logout, bId));

    const CProgramResult replay =
        RunProgram(ReplayExecutable(), {JournalPath().string(), "--module", ModulePath().string(), "--verify"});
    EXPECT_EQ(replay.exitCode, 0) << replay.output;
    EXPECT_NE(replay.output.find("1 resumes"), std::string::npos) << replay.output;
}

TEST_F(HostResume, ResetConnectionResumesWithNothingLostOrRepeated)
{
    CutAndCompare(false);
}

TEST_F(HostResume, ResetCompressedConnectionResumesWithNothingLostOrRepeated)
{
    CutAndCompare(true);
}

// The old connection still looks alive: the new one takes the user over, the
// old one is closed with 1008 and the module hears of no logout.
TEST_F(HostResume, ResumeWhileTheOldConnectionLivesClosesTheOld)
{
    StartRecording();
    auto old = EnterScene();
    const uint32_t id = old->UserId();
    CResumeAck ack;
    auto fresh = ConnectAndResume(old->ResumeToken(), old->FramesReceived(), ack);
    ASSERT_EQ(ack.code, kResumeOk);
    EXPECT_EQ(ack.userId, id);
    ASSERT_TRUE(old->WaitClosed(5s));
    EXPECT_EQ(old->CloseCode(), kPolicyViolation);
    EXPECT_EQ(old->CloseReason(), "resumed_elsewhere");
    MoveRoundTrip(*fresh, Pos{4, 4});
    EXPECT_EQ(Metric("corvane_users_online"), 1);
    EXPECT_EQ(Metric("corvane_users_kept"), 0);
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"resumed_elsewhere\"}"), 1);

    const auto records = StopAndRead({old.get(), fresh.get()});
    EXPECT_EQ(Count(records, Journal::ERecord::Resume, id), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, id), 1) << "only the stop logs it out";
}

// Bodies that are not a Resume: each answered with code 7 and 1008, and
// nothing sent behind them on the same connection reaches the module.
TEST_F(HostResume, MalformedResumesAreRefusedAndReachNothing)
{
    StartRecording();
    auto player = LogIn();
    const std::string token = player->ResumeToken();
    const std::string frames = Body({0, 0, 0, 0});
    const std::pair<const char*, std::string> bodies[] = {
        {"empty", ""},
        {"count only", Body({16})},
        {"no frame count", std::string(1, '\x10') + token},
        {"short frame count", std::string(1, '\x10') + token + Body({0, 0})},
        {"trailing byte", std::string(1, '\x10') + token + frames + "x"},
        {"15-byte token", std::string(1, '\x0f') + token.substr(0, 15) + frames},
        {"17-byte token", std::string(1, '\x11') + token + "x" + frames},
        {"count past the body", std::string(1, '\x20') + token + frames},
    };
    for (const auto& [what, body] : bodies) {
        auto client = Connect();
        ASSERT_TRUE(client->SendBinary(Frame(kHostModuleId, kCmdResume, body)));
        // Sent behind the refused Resume: must not reach the module.
        client->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene);
        const auto reply = client->WaitFor(kHostModuleId, kMsgResumeAck, 3s);
        ASSERT_TRUE(reply) << what;
        const CResumeAck ack = DecodeResumeAck(reply->body);
        EXPECT_EQ(ack.code, kResumeMalformed) << what;
        EXPECT_EQ(ack.userId, 0u) << what;
        ASSERT_TRUE(client->WaitClosed(5s)) << what;
        EXPECT_EQ(client->CloseCode(), kPolicyViolation) << what;
    }
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"malformed\"}"), std::size(bodies));
    // The real token was never touched by them.
    player->Cut();
    ASSERT_EQ(Reconnect(*player).code, kResumeOk);

    const auto records = StopAndRead({player.get()});
    for (const Journal::CRecord& r : records) {
        EXPECT_NE(r.type, Journal::ERecord::Message) << "record " << r.number << " reached the module";
    }
    EXPECT_EQ(Count(records, Journal::ERecord::Login, player->UserId()), 1);
}

// A token never issued, one used up by a resume, and one of a user who
// logged out or closed: each refused with its code; the refusals cost the
// user behind a live token nothing.
TEST_F(HostResume, ForgedUsedAndEndedTokensAreRefusedWithTheirCodes)
{
    StartRecording();
    auto player = EnterScene();
    const uint32_t id = player->UserId();
    const std::string first = player->ResumeToken();
    player->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));

    CResumeAck ack;
    auto forger = ConnectAndResume(std::string(16, '\x5a'), 0, ack);
    EXPECT_EQ(ack.code, kResumeUnknownToken);
    EXPECT_EQ(ack.userId, 0u);
    ASSERT_TRUE(forger->WaitClosed(5s));
    EXPECT_EQ(forger->CloseCode(), kPolicyViolation);

    ASSERT_EQ(Reconnect(*player).code, kResumeOk);
    auto replayer = ConnectAndResume(first, 0, ack);
    EXPECT_EQ(ack.code, kResumeTokenUsed) << "a token is good for one resume";
    ASSERT_TRUE(replayer->WaitClosed(5s));
    // Still the player's: the refused tries took nothing from it.
    MoveRoundTrip(*player, Pos{5, 5});
    player->Cut();
    ASSERT_EQ(Reconnect(*player).code, kResumeOk);
    EXPECT_EQ(player->UserId(), id);

    // Logout and a close frame end the user at once; its token is then stale.
    ASSERT_TRUE(player->Send(kHostModuleId, kCmdLogout));
    ASSERT_TRUE(player->WaitClosed(5s));
    auto closer = LogIn();
    // The token follows the LoginAck; the Pong comes after it.
    ASSERT_TRUE(closer->Send(kHostModuleId, kCmdPing, "p"));
    ASSERT_TRUE(closer->WaitFor(kHostModuleId, kMsgPong, 3s));
    const uint32_t closerId = closer->UserId();
    const std::string closerToken = closer->ResumeToken();
    closer->Close();
    ASSERT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_EQ(Metric("corvane_users_kept"), 0);
    ConnectAndResume(player->ResumeToken(), player->FramesReceived(), ack);
    EXPECT_EQ(ack.code, kResumeExpired);
    ConnectAndResume(closerToken, 0, ack);
    EXPECT_EQ(ack.code, kResumeExpired);

    EXPECT_EQ(Metric("corvane_resumes_total{result=\"unknown_token\"}"), 1);
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"token_used\"}"), 1);
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"expired\"}"), 2);
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"ok\"}"), 2);
    const auto records = StopAndRead({player.get(), closer.get()});
    EXPECT_EQ(Count(records, Journal::ERecord::Login, id), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Resume, id), 2);
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, id), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, closerId), 1);
}

// A count ahead of what was sent, or behind what is kept: refused, and the
// user behind the token is logged out once.
TEST_F(HostResume, FrameCountsAheadOrTooOldAreRefusedAndEndTheUser)
{
    StartRecording({"--send-queue", "16KiB"});
    auto ahead = EnterScene();
    auto old = EnterScene();
    auto mover = EnterScene();
    ahead->Cut();
    CFrameLog ignored;
    // Far more than 16 KiB of PoseLists for `old`, read as they come: its
    // ring keeps only the last of them.
    for (int i = 0; i < 300; ++i) {
        MoveRoundTrip(*mover, Pos{static_cast<int16_t>(10 + i % 7), 12});
        if (i % 50 == 0) {
            Drain(*old, ignored, 20ms);
        }
    }
    Drain(*old, ignored, 100ms);
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 0)) << "the frames sent while away overflowed";
    old->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));

    const CResumeAck tooOld = Reconnect(*old, 1);
    EXPECT_EQ(tooOld.code, kResumeFramesTooOld);
    EXPECT_TRUE(old->WaitClosed(5s));
    EXPECT_EQ(old->CloseCode(), kPolicyViolation);
    ASSERT_TRUE(WaitMetric("corvane_users_online", 1));
    EXPECT_EQ(Reconnect(*old).code, kResumeExpired) << "the refusal ended the user";

    auto late = EnterScene();
    late->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));
    EXPECT_EQ(Reconnect(*late, late->FramesReceived() + 1).code, kResumeFramesAhead);
    ASSERT_TRUE(WaitMetric("corvane_users_online", 1));
    EXPECT_EQ(Metric("corvane_users_kept"), 0);

    EXPECT_EQ(Metric("corvane_resumes_total{result=\"frames_too_old\"}"), 1);
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"frames_ahead\"}"), 1);
    const auto records = StopAndRead({ahead.get(), old.get(), mover.get(), late.get()});
    for (const CGameClient* c : {old.get(), late.get()}) {
        EXPECT_EQ(Count(records, Journal::ERecord::Logout, c->UserId()), 1);
        EXPECT_EQ(Count(records, Journal::ERecord::Resume, c->UserId()), 0);
    }
}

// While away the user's frames pass --send-queue: it is logged out at once,
// and a later resume learns why.
TEST_F(HostResume, OverflowWhileAwayLogsOutAndIsTold)
{
    StartRecording({"--send-queue", "16KiB"});
    auto away = EnterScene();
    auto mover = EnterScene();
    away->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));
    const double keptAtCut = Metric("corvane_resume_kept_bytes").value_or(0);
    EXPECT_GT(keptAtCut, 0);
    int moves = 0;
    while (Metric("corvane_users_kept") != 0 && moves < 400) {
        for (int i = 0; i < 20; ++i, ++moves) {
            MoveRoundTrip(*mover, Pos{static_cast<int16_t>(10 + moves % 7), 13});
        }
        // Never more than the bound (and the one frame that passed it).
        EXPECT_LE(Metric("corvane_resume_kept_bytes").value_or(0), 2 * 16384);
    }
    ASSERT_EQ(Metric("corvane_users_kept"), 0);
    EXPECT_EQ(Metric("corvane_users_online"), 1);
    EXPECT_GT(moves, 100) << "16 KiB hold more than a hundred PoseLists";
    EXPECT_EQ(Reconnect(*away).code, kResumeOverflow);
    const auto records = StopAndRead({away.get(), mover.get()});
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, away->UserId()), 1);
}

// Nobody resumes within the window: the user is logged out once, and the
// token then tells that the user is gone.
TEST_F(HostResume, WindowEndLogsOutOnce)
{
    StartRecording({"--resume-window", "1"});
    auto player = EnterScene();
    player->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));
    EXPECT_EQ(Metric("corvane_users_online"), 1);
    ASSERT_TRUE(WaitMetric("corvane_users_online", 0, 3s));
    EXPECT_EQ(Metric("corvane_users_kept"), 0);
    EXPECT_EQ(Metric("corvane_resume_kept_bytes"), 0);
    EXPECT_EQ(Reconnect(*player).code, kResumeExpired);
    const auto records = StopAndRead({player.get()});
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, player->UserId()), 1);
}

// Resumes just before, at and after the window's end: each is either taken
// over or refused as expired, never both, and the module hears exactly one
// logout for each user refused.
TEST_F(HostResume, ResumesRacingTheWindowEndAreOneOrTheOther)
{
    StartRecording({"--resume-window", "1"});
    std::vector<std::pair<uint32_t, int32_t>> outcomes;
    std::vector<std::unique_ptr<CGameClient>> players;
    for (int i = 0; i < 5; ++i) {
        auto player = EnterScene();
        const uint32_t id = player->UserId();
        player->Cut();
        ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));
        std::this_thread::sleep_for(920ms + i * 40ms);
        const CResumeAck ack = Reconnect(*player);
        ASSERT_TRUE(ack.code == kResumeOk || ack.code == kResumeExpired) << ack.code;
        outcomes.emplace_back(id, ack.code);
        if (ack.code == kResumeOk) {
            EXPECT_EQ(ack.userId, id);
            player->Close();
        }
        ASSERT_TRUE(WaitMetric("corvane_users_online", 0));
        EXPECT_EQ(Metric("corvane_users_kept"), 0);
    }
    const auto records = StopAndRead();
    for (const auto& [id, code] : outcomes) {
        EXPECT_EQ(Count(records, Journal::ERecord::Logout, id), 1) << "user " << id;
        EXPECT_EQ(Count(records, Journal::ERecord::Resume, id), code == kResumeOk ? 1 : 0) << "user " << id;
    }
}

// With --resume-window 0 nothing is kept: no token, a cut logs out at
// once, and a Resume is answered with its own code.
TEST_F(HostResume, WindowZeroTurnsResumeOff)
{
    StartHost({"--resume-window", "0"});
    auto player = LogIn();
    ASSERT_TRUE(player->Send(kHostModuleId, kCmdPing, "p"));
    ASSERT_TRUE(player->WaitFor(kHostModuleId, kMsgPong, 3s));
    EXPECT_TRUE(player->ResumeToken().empty());
    player->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_online", 0));
    EXPECT_EQ(Metric("corvane_users_kept"), 0);
    EXPECT_EQ(Reconnect(*player, 0, std::string(16, 'a')).code, kResumeOff);
    EXPECT_TRUE(player->WaitClosed(5s));
    EXPECT_EQ(player->CloseCode(), kPolicyViolation);
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"off\"}"), 1);
}

// Many resumes with guessed tokens from one address: they are first
// messages like Login, so the pending limit per address holds the crowd,
// one connection gets one answer however many it sends, and the real
// player's token is still good.
TEST_F(HostResume, HammeredResumesAreBoundedByTheLoginLimits)
{
    StartRecording({"--max-pending-per-address", "4"});
    auto player = EnterScene();
    player->Cut();
    ASSERT_TRUE(WaitMetric("corvane_users_kept", 1));

    std::vector<std::unique_ptr<CGameClient>> crowd;
    for (int i = 0; i < 40; ++i) {
        crowd.push_back(Connect());
        EXPECT_LE(Metric("corvane_connections_pending").value_or(99), 4);
    }
    int answered = 0;
    int evicted = 0;
    for (std::size_t i = 0; i < crowd.size(); ++i) {
        CGameClient& c = *crowd[i];
        std::string token(16, '\0');
        token[0] = static_cast<char>(i);
        for (int k = 0; k < 20; ++k) {
            c.SendBinary(Frame(kHostModuleId, kCmdResume, EncodeResume(token, 0)));
        }
        int acks = 0;
        while (auto m = c.Receive(300ms)) {
            acks += m->moduleId == kHostModuleId && m->cmd == kMsgResumeAck ? 1 : 0;
        }
        ASSERT_TRUE(c.WaitClosed(5s));
        if (c.CloseCode() == 1013) {
            ++evicted;
            EXPECT_EQ(acks, 0);
        } else {
            ++answered;
            EXPECT_EQ(c.CloseCode(), kPolicyViolation);
            EXPECT_EQ(acks, 1) << "one answer per connection";
        }
    }
    EXPECT_EQ(evicted, 36);
    EXPECT_EQ(answered, 4);
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"unknown_token\"}"), answered);
    EXPECT_EQ(Metric("corvane_connections_pending"), 0);

    ASSERT_EQ(Reconnect(*player).code, kResumeOk);
    MoveRoundTrip(*player, Pos{6, 6});
    const auto records = StopAndRead({player.get()});
    for (const Journal::CRecord& r : records) {
        if (r.type == Journal::ERecord::Message || r.type == Journal::ERecord::Login) {
            EXPECT_EQ(r.UserId(), player->UserId()) << "record " << r.number;
        }
    }
}
