// The session journal's file: what the writer puts in comes out of the
// reader, a cut anywhere is a torn tail, damage anywhere is a checksum error
// whose byte range holds the damaged byte.
#include "journal/Journal.h"
#include "journal/JournalWriter.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#include <unistd.h>

namespace fs = std::filesystem;
using Journal::CJournalError;
using Journal::CJournalReader;
using Journal::ERecord;

namespace {

class JournalFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_path = fs::temp_directory_path() /
                 ("corvane-journal-test-" + std::to_string(::getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { fs::remove(m_path); }

    // A small session: every kind of record once or twice.
    void WriteSession(bool fullOutputs)
    {
        CJournalWriter writer(m_path, fullOutputs);
        const uint8_t move[] = {0x63, 0, 2, 0, 5, 0, 7, 0};
        writer.OnStart();
        writer.OnLogin(1);
        writer.OnLogin(2);
        writer.OnMessage(1, move, sizeof move);
        writer.OnSend({1, 2}, "pose list");
        writer.OnDrop(2);
        writer.OnTimer(1);
        writer.OnSend({}, "");
        writer.OnLogout(2);
        writer.OnStop();
    }

    std::string Bytes() const
    {
        std::ifstream in(m_path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    void Rewrite(const std::string& bytes) const { std::ofstream(m_path, std::ios::binary | std::ios::trunc) << bytes; }

    std::vector<Journal::CRecord> ReadAll(std::optional<uint64_t>* tornAt = nullptr) const
    {
        CJournalReader reader(m_path);
        std::vector<Journal::CRecord> records;
        while (auto r = reader.Next()) {
            records.push_back(std::move(*r));
        }
        if (tornAt != nullptr) {
            *tornAt = reader.TornAt();
        }
        return records;
    }

    fs::path m_path;
};

} // namespace

TEST_F(JournalFile, WhatIsWrittenIsReadBackInOrder)
{
    for (const bool full : {false, true}) {
        WriteSession(full);
        EXPECT_EQ(CJournalReader(m_path).Header().flags, full ? Journal::kFlagFullOutputs : 0u);
        const auto records = ReadAll();
        ASSERT_EQ(records.size(), 10u);
        const std::vector<ERecord> send(1, full ? ERecord::SendFull : ERecord::SendHash);
        const std::vector<ERecord> expected{ERecord::Start, ERecord::Login,  ERecord::Login, ERecord::Message,
                                            send[0],        ERecord::Drop,   ERecord::Timer, send[0],
                                            ERecord::Logout, ERecord::Stop};
        for (std::size_t i = 0; i < records.size(); ++i) {
            EXPECT_EQ(records[i].type, expected[i]) << i;
            EXPECT_EQ(records[i].number, i + 1);
            EXPECT_LE(i == 0 ? 0 : records[i - 1].nanos, records[i].nanos);
        }
        EXPECT_EQ(records[2].UserId(), 2u);
        EXPECT_EQ(records[3].UserId(), 1u);
        EXPECT_EQ(records[3].Bytes(), std::string_view("\x63\0\2\0\5\0\7\0", 8));
        EXPECT_EQ(records[6].TimerHandle(), 1u);
        if (full) {
            EXPECT_EQ(records[4].Recipients(), (std::vector<uint32_t>{1, 2}));
            EXPECT_EQ(records[4].Bytes(), "pose list");
            EXPECT_TRUE(records[7].Recipients().empty());
        } else {
            EXPECT_EQ(records[4].Hash(), Journal::HashSend({1, 2}, "pose list"));
            EXPECT_NE(records[4].Hash(), Journal::HashSend({2, 1}, "pose list"));
            EXPECT_NE(records[4].Hash(), Journal::HashSend({1, 2}, "pose lisT"));
        }
        EXPECT_THROW(records[4].UserId(), CJournalError);
        EXPECT_THROW(records[0].TimerHandle(), CJournalError);
    }
}

TEST_F(JournalFile, ACutAnywhereEndsTheRecordsAtTheTornOne)
{
    WriteSession(true);
    const std::string whole = Bytes();
    const auto records = ReadAll();
    for (std::size_t cut = Journal::kHeaderSize; cut < whole.size(); ++cut) {
        Rewrite(whole.substr(0, cut));
        std::optional<uint64_t> tornAt;
        std::vector<Journal::CRecord> read;
        ASSERT_NO_THROW(read = ReadAll(&tornAt)) << "cut at " << cut;
        ASSERT_LT(read.size(), records.size());
        const uint64_t next = records[read.size()].offset;
        if (next == cut) {
            EXPECT_FALSE(tornAt) << "cut at " << cut;
        } else {
            EXPECT_EQ(tornAt, next) << "cut at " << cut;
        }
    }
}

TEST_F(JournalFile, DamageAnywhereIsAChecksumErrorAroundIt)
{
    WriteSession(false);
    const std::string whole = Bytes();
    const std::regex range("bytes ([0-9]+)\\.\\.([0-9]+)");
    for (std::size_t at = 0; at < whole.size(); ++at) {
        std::string copy = whole;
        copy[at] = static_cast<char>(copy[at] ^ 0x10);
        Rewrite(copy);
        try {
            ReadAll();
            ADD_FAILURE() << "a flipped bit at " << at << " went unnoticed";
        } catch (const CJournalError& e) {
            const std::string what = e.what();
            if (at < Journal::kHeaderSize) {
                EXPECT_NE(what.find(at < sizeof Journal::kMagic ? "is not a journal" : "journal header"),
                          std::string::npos)
                    << what;
                continue;
            }
            std::smatch match;
            ASSERT_TRUE(std::regex_search(what, match, range)) << what;
            EXPECT_LE(std::stoull(match[1]), at) << what;
            EXPECT_GE(std::stoull(match[2]), at) << what;
        }
    }
}

TEST_F(JournalFile, UnwritableFileIsAStartupError)
{
    EXPECT_ANY_THROW(CJournalWriter(m_path / "no-such-folder" / "journal", false));
    Rewrite("short");
    EXPECT_THROW(CJournalReader{m_path}, CJournalError);
}
