// Resume against the real host: a connection cut without a goodbye leaves
// its user logged in for the window, and a new connection with the user's
// token takes it over with nothing lost and nothing repeated; every other
// resume is refused with its code and reaches nothing.
#include "HostFixture.h"

#include "journal/Journal.h"

#include <csignal>
#include <filesystem>
#include <map>
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
        std::vector<std::string> args{"--record", JournalPath().string(), "--rate", "1000", "--burst", "1000"};
        args.insert(args.end(), extra.begin(), extra.end());
        StartHost(args);
    }

    // Stops the host and reads its journal.
    std::vector<Journal::CRecord> StopAndRead()
    {
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

    // A new connection for the cut client, which resumes.
    CResumeAck Reconnect(CGameClient& client, std::optional<uint32_t> frames = std::nullopt,
                         std::optional<std::string> token = std::nullopt)
    {
        CConnectOptions options;
        options.port = m_host.Port();
        client.Connect(options);
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
// along on an uncut connection.
TEST_F(HostResume, ResetConnectionResumesWithNothingLostOrRepeated)
{
    StartRecording();
    auto c = EnterScene();
    auto b = EnterScene();
    auto a = EnterScene();
    ASSERT_EQ(b->ResumeToken().size(), kResumeTokenSize);
    const uint32_t bId = b->UserId();
    const Pos start{10, 10};
    const Pos marker = Step(start, 24);

    CFrameLog logB;
    CFrameLog logC;
    MoveRoundTrip(*a, marker);
    for (int i = 0; i < 6; ++i) {
        MoveRoundTrip(*a, Step(start, i));
    }
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
    const std::string oldToken = b->ResumeToken();
    const CResumeAck ack = Reconnect(*b);
    ASSERT_EQ(ack.code, kResumeOk);
    EXPECT_EQ(ack.userId, bId);
    EXPECT_EQ(b->UserId(), bId);
    for (int i = 18; i < 24; ++i) {
        MoveRoundTrip(*a, Step(start, i));
    }
    Drain(*b, logB);
    Drain(*c, logC);
    EXPECT_NE(b->ResumeToken(), oldToken) << "a new token with every resume";
    EXPECT_EQ(b->ResumeToken().size(), kResumeTokenSize);

    const std::size_t fromB = FindPoseAt(logB, a->UserId(), marker);
    const std::size_t fromC = FindPoseAt(logC, a->UserId(), marker);
    ASSERT_LT(fromB, logB.frames.size());
    ASSERT_LT(fromC, logC.frames.size());
    ASSERT_EQ(logB.frames.size() - fromB, logC.frames.size() - fromC) << "frames lost or repeated";
    for (std::size_t i = 0; i < logC.frames.size() - fromC; ++i) {
        const CServerMessage& x = logB.frames[fromB + i];
        const CServerMessage& y = logC.frames[fromC + i];
        ASSERT_TRUE(x.cmd == y.cmd && x.body == y.body) << "frame " << i << " after the marker differs";
    }
    EXPECT_TRUE(WaitMetric("corvane_users_kept", 0));
    EXPECT_EQ(Metric("corvane_resumes_total{result=\"ok\"}"), 1);
    EXPECT_EQ(Metric("corvane_users_online"), 3);

    // The resumed connection plays on.
    MoveRoundTrip(*b, Pos{3, 3});
    const auto records = StopAndRead();
    EXPECT_EQ(Count(records, Journal::ERecord::Login, bId), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Resume, bId), 1);
    EXPECT_EQ(Count(records, Journal::ERecord::Logout, bId), 1) << "only the stop logs it out";
    EXPECT_LT(First(records, Journal::ERecord::Resume, bId), First(records, Journal::ERecord::Logout, bId));

    const CProgramResult replay =
        RunProgram(ReplayExecutable(), {JournalPath().string(), "--module", ModulePath().string(), "--verify"});
    EXPECT_EQ(replay.exitCode, 0) << replay.output;
    EXPECT_NE(replay.output.find("1 resumes"), std::string::npos) << replay.output;
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
    MoveRoundTrip(*fresh, Pos{4, 4});
    EXPECT_EQ(Metric("corvane_users_online"), 1);
    EXPECT_EQ(Metric("corvane_users_kept"), 0);
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"resumed_elsewhere\"}"), 1);

    const auto records = StopAndRead();
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
        ASSERT_TRUE(client->SendBinary(Frame(kHostModuleId, kCmdResume, body) +
                                       std::string()));
        ASSERT_TRUE(client->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
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

    const auto records = StopAndRead();
    for (const Journal::CRecord& r : records) {
        EXPECT_NE(r.type, Journal::ERecord::Message) << "record " << r.number << " reached the module";
    }
    EXPECT_EQ(Count(records, Journal::ERecord::Login, player->UserId()), 1);
}
