// Record and replay with the real programs: a session recorded by
// corvane-host replays with no difference, a changed library is caught at
// the send it changes, and damaged journals say where they stop.
#include "HostFixture.h"
#include "journal/Journal.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <regex>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const fs::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
}

bool Contains(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

// A journal written record by record, as a test wants it.
class CJournalText {
public:
    explicit CJournalText(bool fullOutputs = false)
    {
        Journal::CHeader header;
        header.flags = fullOutputs ? Journal::kFlagFullOutputs : 0;
        bytes = Journal::EncodeHeader(header);
    }
    CJournalText& Add(Journal::ERecord type, std::string payload = {})
    {
        Journal::AppendRecord(bytes, type, m_nanos++, payload);
        return *this;
    }
    CJournalText& User(Journal::ERecord type, uint32_t userId, std::string after = {})
    {
        std::string payload(4, '\0');
        for (int i = 0; i < 4; ++i) {
            payload[static_cast<std::size_t>(i)] = static_cast<char>(userId >> (8 * i));
        }
        return Add(type, payload + after);
    }

    std::string bytes;

private:
    uint64_t m_nanos = 0;
};

class Replay : public CHostFixture {
protected:
    fs::path JournalPath() const { return m_host.Folder() / "session.journal"; }

    // Three players enter, move, attack and talk; one leaves; ticks pass;
    // the host stops normally, with a drain that closes the others at once.
    void RecordSession(const std::string& outputs)
    {
        StartHost({"--record", JournalPath().string(), "--record-outputs", outputs, "--rate", "1000", "--burst",
                   "1000", "--drain-timeout", "0"});
        auto a = EnterScene();
        auto b = EnterScene();
        auto c = EnterScene();
        for (int i = 0; i < 10; ++i) {
            MoveRoundTrip(*a, Pos{static_cast<int16_t>(10 + i), 12});
            ASSERT_TRUE(b->Send(EasyDemo::kModuleId, EasyDemo::kCmdAttack, EncodeAttack(a->UserId(), 0, 0)));
            ASSERT_TRUE(c->Send(EasyDemo::kModuleId, EasyDemo::kCmdTalk, EncodeTalk("hello")));
        }
        ASSERT_TRUE(c->Send(EasyDemo::kModuleId, EasyDemo::kCmdAttack, EncodeAttack(0, 0, EasyDemo::kAreaAttack)));
        ASSERT_TRUE(c->WaitFor(EasyDemo::kModuleId, EasyDemo::kAttackNotify, 3s));
        b->Close();
        ASSERT_TRUE(WaitMetric("corvane_users_online", 2));
        NextPoseList(*a);
        MoveRoundTrip(*c, Pos{30, 31});
        m_host.Signal(SIGTERM);
        ASSERT_EQ(m_host.WaitExit(10s), 0);
    }

    CProgramResult RunReplay(const fs::path& journal, std::vector<std::string> extra = {},
                             const fs::path& module = ModulePath())
    {
        std::vector<std::string> args{journal.string(), "--module", module.string()};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProgram(ReplayExecutable(), args);
    }

    // Every record of a journal; a torn tail ends the list.
    static std::vector<Journal::CRecord> ReadRecords(const fs::path& journal)
    {
        Journal::CJournalReader reader(journal);
        std::vector<Journal::CRecord> records;
        while (auto record = reader.Next()) {
            records.push_back(std::move(*record));
        }
        return records;
    }
};

} // namespace

TEST_F(Replay, RecordedSessionReplaysWithNoDifference)
{
    RecordSession("hash");
    const CProgramResult result = RunReplay(JournalPath(), {"--verify"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Contains(result.output, "3 logins")) << result.output;
    EXPECT_TRUE(Contains(result.output, "no difference")) << result.output;
    EXPECT_FALSE(Contains(result.output, "no stop record")) << result.output;

    const auto records = ReadRecords(JournalPath());
    EXPECT_EQ(records.front().type, Journal::ERecord::Start);
    EXPECT_EQ(records.back().type, Journal::ERecord::Stop);
    for (std::size_t i = 1; i < records.size(); ++i) {
        EXPECT_LE(records[i - 1].nanos, records[i].nanos) << "record " << records[i].number;
    }

    const CProgramResult partial = RunReplay(JournalPath(), {"--verify", "--until", "5"});
    EXPECT_EQ(partial.exitCode, 0) << partial.output;
    EXPECT_TRUE(Contains(partial.output, "stopped after record 5")) << partial.output;
}

TEST_F(Replay, ChangedLibraryIsCaughtAtTheSendItChanges)
{
    RecordSession("full");
    // The first move's answer is the first send the change touches.
    const auto records = ReadRecords(JournalPath());
    const std::string moveHeader{'\x63', '\x00', '\x02', '\x00'};
    const auto move = std::find_if(records.begin(), records.end(), [&](const Journal::CRecord& r) {
        return r.type == Journal::ERecord::Message && r.Bytes().substr(0, 4) == moveHeader;
    });
    ASSERT_NE(move, records.end());

    const CProgramResult same = RunReplay(JournalPath(), {"--verify"});
    EXPECT_EQ(same.exitCode, 0) << same.output;

    const CProgramResult changed = RunReplay(JournalPath(), {"--verify"}, ShiftedMovesModulePath());
    EXPECT_EQ(changed.exitCode, 1) << changed.output;
    EXPECT_TRUE(Contains(changed.output, "difference at record " + std::to_string(move->number + 1) + " (send, "))
        << changed.output;
    EXPECT_TRUE(Contains(changed.output, "while replaying record " + std::to_string(move->number) + " (message"))
        << changed.output;
    EXPECT_TRUE(Contains(changed.output, "s into the session")) << changed.output;
    // Both recipient lists, and both lists decoded with the moved entry marked.
    EXPECT_EQ(CountLines(changed.output, "sent to [1, 2, 3]"), 2) << changed.output;
    EXPECT_EQ(CountLines(changed.output, "PoseList (module 99, message 2"), 2) << changed.output;
    EXPECT_TRUE(Contains(changed.output, "!     [")) << changed.output;
    EXPECT_TRUE(Contains(changed.output, "id 1 kind 0 x 10 y 12")) << changed.output;
    EXPECT_TRUE(Contains(changed.output, "id 1 kind 0 x 11 y 12")) << changed.output;

    // Without --verify the replay runs to the end and compares nothing.
    const CProgramResult unchecked = RunReplay(JournalPath(), {}, ShiftedMovesModulePath());
    EXPECT_EQ(unchecked.exitCode, 0) << unchecked.output;
}

TEST_F(Replay, PlayerCutInsideABroadcastReplaysTheSame)
{
    // Only the module's broadcasts reach the stuck player, so its queue
    // overflows inside a module call: the host must report the logout after
    // the call, and the replay must drop the player at the same send.
    StartHost({"--record", JournalPath().string(), "--record-outputs", "full", "--send-queue", "16KiB", "--rate",
               "100000", "--burst", "100000", "--drain-timeout", "0"});
    auto mover = EnterScene();
    auto stuck = Connect(4096);
    ASSERT_EQ(stuck->Login("").code, kLoginOk);
    ASSERT_TRUE(stuck->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
    stuck->StopReading();
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    for (int i = 0; std::chrono::steady_clock::now() < deadline &&
                    Metric("corvane_connections_closed_total{reason=\"send_queue_full\"}") != 1;) {
        for (int k = 0; k < 50; ++k, ++i) {
            MoveRoundTrip(*mover, Pos{static_cast<int16_t>(i % 2), 5});
        }
    }
    ASSERT_EQ(Metric("corvane_connections_closed_total{reason=\"send_queue_full\"}"), 1);
    MoveRoundTrip(*mover, Pos{6, 6});
    m_host.Signal(SIGTERM);
    ASSERT_EQ(m_host.WaitExit(10s), 0);

    const auto records = ReadRecords(JournalPath());
    const auto drop = std::find_if(records.begin(), records.end(),
                                   [](const Journal::CRecord& r) { return r.type == Journal::ERecord::Drop; });
    ASSERT_NE(drop, records.end());
    EXPECT_EQ(drop->UserId(), stuck->UserId());
    const CProgramResult result = RunReplay(JournalPath(), {"--verify"});
    EXPECT_EQ(result.exitCode, 0) << result.output;
    EXPECT_TRUE(Contains(result.output, "no difference")) << result.output;
}

TEST_F(Replay, JournalCutAnywhereReplaysUpToTheCut)
{
    RecordSession("hash");
    const std::string bytes = ReadAll(JournalPath());
    const auto records = ReadRecords(JournalPath());
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const fs::path cut = m_host.Folder() / "cut.journal";
    for (int round = 0; round < 8; ++round) {
        const std::size_t at =
            std::uniform_int_distribution<std::size_t>(Journal::kHeaderSize, bytes.size() - 1)(random);
        WriteAll(cut, bytes.substr(0, at));
        std::size_t complete = 0;
        uint64_t tornAt = Journal::kHeaderSize;
        for (const Journal::CRecord& r : records) {
            const uint64_t end = r.offset + Journal::kFrameHeadSize + r.payload.size() + Journal::kFrameTailSize;
            if (end > at) {
                break;
            }
            ++complete;
            tornAt = end;
        }
        const CProgramResult result = RunReplay(cut, {"--verify"});
        SCOPED_TRACE("cut at " + std::to_string(at));
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_TRUE(Contains(result.output, "replayed records 1 to " + std::to_string(complete) + ":"))
            << result.output;
        if (tornAt == at) {
            EXPECT_TRUE(Contains(result.output, "no stop record")) << result.output;
        } else {
            EXPECT_TRUE(Contains(result.output, "cut short at byte offset " + std::to_string(tornAt) + " of " +
                                                    std::to_string(at)))
                << result.output;
        }
    }
}

TEST_F(Replay, FlippedByteIsAChecksumErrorWithItsOffset)
{
    RecordSession("hash");
    const std::string bytes = ReadAll(JournalPath());
    const unsigned seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    const fs::path damaged = m_host.Folder() / "damaged.journal";
    const std::regex range("checksum error in record [0-9]+[^,]*, bytes ([0-9]+)\\.\\.([0-9]+)");
    for (int round = 0; round < 8; ++round) {
        const std::size_t at =
            std::uniform_int_distribution<std::size_t>(Journal::kHeaderSize, bytes.size() - 1)(random);
        std::string copy = bytes;
        copy[at] = static_cast<char>(copy[at] ^ 0x5a);
        WriteAll(damaged, copy);
        const CProgramResult result = RunReplay(damaged, {"--verify"});
        SCOPED_TRACE("byte " + std::to_string(at));
        EXPECT_EQ(result.exitCode, 2) << result.output;
        std::smatch match;
        ASSERT_TRUE(std::regex_search(result.output, match, range)) << result.output;
        EXPECT_LE(std::stoull(match[1]), at);
        EXPECT_GE(std::stoull(match[2]), at);
    }
    // A damaged header is no journal at all.
    std::string copy = bytes;
    copy[10] = static_cast<char>(copy[10] ^ 1);
    WriteAll(damaged, copy);
    const CProgramResult header = RunReplay(damaged);
    EXPECT_EQ(header.exitCode, 2);
    EXPECT_TRUE(Contains(header.output, "checksum error in the journal header")) << header.output;
}

TEST_F(Replay, UnusableInputsAreOneLineAndExit2)
{
    const fs::path text = m_host.Folder() / "notes.txt";
    WriteAll(text, "not a journal at all, just some text\n");
    for (const auto& [args, says] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{text.string()}, "is not a journal"},
             {{(m_host.Folder() / "missing").string()}, "cannot open journal"},
             {{}, "FILE is required"},
         }) {
        const CProgramResult result = RunProgram(ReplayExecutable(), args);
        EXPECT_EQ(result.exitCode, 2) << result.output;
        EXPECT_EQ(CountLines(result.output, "corvane-replay:"), 1) << result.output;
        EXPECT_TRUE(Contains(result.output, says)) << result.output;
    }
}

TEST_F(Replay, WriteErrorStopsTheRecordingButNotTheGame)
{
    StartHost({"--record", "/dev/full"});
    auto player = EnterScene();
    for (int i = 0; i < 5; ++i) {
        MoveRoundTrip(*player, Pos{static_cast<int16_t>(i), 2});
    }
    EXPECT_TRUE(WaitMetric("corvane_journal_failures_total", 1));
    for (int i = 0; i < 5; ++i) {
        MoveRoundTrip(*player, Pos{static_cast<int16_t>(i), 3});
    }
    EXPECT_EQ(CountLines(m_host.Stderr(), "recording to /dev/full stopped"), 1) << m_host.Stderr();
    EXPECT_EQ(Get("/healthz").status, 200);
}

TEST_F(Replay, RecordsNoHostWritesAreRefusedWithTheirNumber)
{
    using Journal::ERecord;
    // A message to a module nobody registered: the host drops it.
    const std::string message{'\x11', '\x11', '\x01', '\x00'};
    const auto session = [&] { return CJournalText().Add(ERecord::Start).User(ERecord::Login, 1); };
    const fs::path journal = m_host.Folder() / "crafted.journal";
    for (const auto& [bytes, says] : std::vector<std::pair<std::string, std::string>>{
             {session().Add(ERecord::Stop).User(ERecord::Message, 1, message).bytes,
              "record 4 at byte offset 95: a message record after the stop record"},
             {session().Add(ERecord::Stop).User(ERecord::Timer, 1).bytes, "record 4 at byte offset 95: a timer record after"},
             {session().Add(ERecord::Stop).Add(ERecord::Start).bytes, "record 4 at byte offset 95: a second start record"},
             {session().Add(ERecord::Start).bytes, "record 3 at byte offset 74: a second start record"},
             {CJournalText().User(ERecord::Login, 1).Add(ERecord::Start).bytes,
              "record 1 at byte offset 28: a login record before the start record"},
             {session().User(ERecord::Message, 1).bytes,
              "record 3 at byte offset 74: a message record of 4 payload bytes (a host writes 8 or more)"},
             {session().Add(ERecord::Stop, "x").bytes, "record 3 at byte offset 74: a stop record of 1 payload bytes"},
             {session().User(ERecord::SendFull, 0).bytes, "record 3 at byte offset 74: a full send in a journal of hashed"},
             {session().Add(static_cast<ERecord>(42)).bytes, "record 3 at byte offset 74: unknown record type 42"},
             {session().Add(ERecord::Stop).User(ERecord::Resume, 1).bytes,
              "record 4 at byte offset 95: a resume record after the stop record"},
             {session().Add(ERecord::Resume, "xy").bytes,
              "record 3 at byte offset 74: a resume record of 2 payload bytes (a host writes 4)"},
         }) {
        WriteAll(journal, bytes);
        const CProgramResult result = RunReplay(journal);
        SCOPED_TRACE(says);
        EXPECT_EQ(result.exitCode, 2) << result.output;
        EXPECT_EQ(CountLines(result.output, "corvane-replay: " + says), 1) << result.output;
        EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\n'), 1) << result.output;
    }
    // What a host does write after the stop record: the services' Uninit sends.
    WriteAll(journal, session().Add(ERecord::Stop).Add(ERecord::SendHash, std::string(8, '\0')).bytes);
    const CProgramResult uninitSend = RunReplay(journal);
    EXPECT_EQ(uninitSend.exitCode, 0) << uninitSend.output;
    EXPECT_TRUE(Contains(uninitSend.output, "replayed records 1 to 4: 1 logins")) << uninitSend.output;

    // A resume is the host's event: the module is not called, but the user
    // must be online.
    WriteAll(journal, session().User(ERecord::Resume, 1).Add(ERecord::Stop).bytes);
    const CProgramResult resumed = RunReplay(journal, {"--verify"});
    EXPECT_EQ(resumed.exitCode, 0) << resumed.output;
    EXPECT_TRUE(Contains(resumed.output, "1 resumes")) << resumed.output;
    WriteAll(journal, session().User(ERecord::Resume, 9).Add(ERecord::Stop).bytes);
    const CProgramResult stranger = RunReplay(journal, {"--verify"});
    EXPECT_EQ(stranger.exitCode, 1) << stranger.output;
    EXPECT_TRUE(Contains(stranger.output, "the journal resumes user 9, who is not online in the replay"))
        << stranger.output;
}

TEST_F(Replay, MemoryDoesNotGrowWithTheJournal)
{
    using Journal::ERecord;
    // The sanitizer's quarantine would keep every freed record; the reader's
    // own memory is what is measured.
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string saved = sanitizer != nullptr ? sanitizer : "";
    ::setenv("ASAN_OPTIONS", (saved + (saved.empty() ? "" : ":") + "quarantine_size_mb=4").c_str(), 1);
    // One user's 1 MiB message to a module nobody registered, over and over.
    // The test holds one record, not the journal: a child counts its
    // parent's memory as its own until it runs the program.
    std::string message;
    const std::string body =
        std::string{'\x01', '\0', '\0', '\0', '\x11', '\x11', '\x01', '\0'} + std::string(1 << 20, 'm');
    Journal::AppendRecord(message, ERecord::Message, 1, body);
    std::string stop;
    Journal::AppendRecord(stop, ERecord::Stop, 2, {});
    const fs::path journal = m_host.Folder() / "long.journal";
    std::vector<long> rss;
    for (const int messages : {4, 68}) {
        {
            std::ofstream out(journal, std::ios::binary | std::ios::trunc);
            out << CJournalText().Add(ERecord::Start).User(ERecord::Login, 1).bytes;
            for (int i = 0; i < messages; ++i) {
                out << message;
            }
            out << stop;
        }
        const CProgramResult result = RunReplay(journal);
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_TRUE(Contains(result.output, std::to_string(messages) + " messages")) << result.output;
        rss.push_back(result.maxRssKb);
    }
    if (sanitizer != nullptr) {
        ::setenv("ASAN_OPTIONS", saved.c_str(), 1);
    } else {
        ::unsetenv("ASAN_OPTIONS");
    }
    // 64 MiB more of journal; the replay holds a record or two of 1 MiB.
    EXPECT_LT(rss[1] - rss[0], 16 * 1024) << rss[0] << " KiB, then " << rss[1] << " KiB";
}

