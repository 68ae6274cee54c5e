// The shared compressor, checked byte for byte the way clients see it: every
// simulated connection inflates what it is sent with an inflater of its own
// that keeps its history, as a browser's permessage-deflate does, and must
// get back exactly the messages it was sent, in order, through joins,
// leaves, private messages, partial broadcasts and epochs.
#include "net/DeflateGroup.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = CDeflateGroup::Clock;

// A client's side of one connection: one raw inflater for the connection's
// life, history kept, the 00 00 ff ff put back after each compressed message.
class CClientInflater {
public:
    CClientInflater() { EXPECT_EQ(inflateInit2(&m_stream, -15), Z_OK); }
    ~CClientInflater() { inflateEnd(&m_stream); }
    CClientInflater(const CClientInflater&) = delete;
    CClientInflater& operator=(const CClientInflater&) = delete;

    std::optional<std::string> Decode(const CWirePayload& payload)
    {
        if (!payload.compressed) {
            return *payload.bytes;
        }
        std::string in = *payload.bytes + std::string("\x00\x00\xff\xff", 4);
        std::string out;
        m_stream.next_in = reinterpret_cast<Bytef*>(in.data());
        m_stream.avail_in = static_cast<uInt>(in.size());
        char chunk[4096];
        do {
            m_stream.next_out = reinterpret_cast<Bytef*>(chunk);
            m_stream.avail_out = sizeof chunk;
            const int rc = inflate(&m_stream, Z_SYNC_FLUSH);
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                return std::nullopt;
            }
            out.append(chunk, sizeof chunk - m_stream.avail_out);
        } while (m_stream.avail_in > 0 || m_stream.avail_out == 0);
        return out;
    }

private:
    z_stream m_stream{};
};

struct CConnection {
    std::unique_ptr<CDeflateMember> member; // null: negotiated nothing
    CClientInflater inflater;
    std::vector<std::string> expected;
    std::vector<std::string> decoded;
    bool failed = false;
};

// Drives a group (or, with compression off, no group) through a random
// scenario and checks every connection's stream.
class CScenario {
public:
    CScenario(bool compression, uint32_t seed) : m_compression(compression), m_rng(seed), m_group(100ms) {}

    void Run(int steps)
    {
        for (int i = 0; i < 12; ++i) {
            Connect();
        }
        for (int step = 0; step < steps; ++step) {
            const int roll = Pick(100);
            m_now += std::chrono::milliseconds(Pick(30));
            if (roll < 4) {
                Connect();
            } else if (roll < 7 && m_open.size() > 2) {
                Disconnect(m_open[Pick(static_cast<int>(m_open.size()))]);
            } else if (roll < 60) {
                Send(m_open, NextPoses());
            } else if (roll < 72) {
                Send(Subset(true), NextPoses()); // most of them
            } else if (roll < 82) {
                Send(Subset(false), NextPoses()); // a few
            } else if (roll < 92) {
                Send({m_open[Pick(static_cast<int>(m_open.size()))]}, Noise(20 + Pick(200)));
            } else if (roll < 96) {
                Send(m_open, Noise(Pick(static_cast<int>(CDeflateGroup::kMinCompressed))));
            } else {
                std::vector<int> twice = m_open;
                twice.insert(twice.end(), m_open.begin(), m_open.begin() + 2);
                Send(twice, NextPoses());
            }
        }
    }

    void Check() const
    {
        for (const auto& [id, c] : m_all) {
            EXPECT_FALSE(c->failed) << "connection " << id << " could not inflate";
            EXPECT_EQ(c->decoded, c->expected) << "connection " << id;
        }
    }

    std::vector<std::vector<std::string>> Streams() const
    {
        std::vector<std::vector<std::string>> out;
        for (const auto& [id, c] : m_all) {
            out.push_back(c->decoded);
        }
        return out;
    }

    uint64_t rawBytes = 0;
    uint64_t wireBytes = 0;
    std::size_t sharedBuffersMax = 0; // most recipients of one compressed buffer
    const CDeflateGroup& Group() const { return m_group; }

private:
    int Pick(int n) { return static_cast<int>(m_rng() % static_cast<uint32_t>(n)); }

    void Connect()
    {
        auto c = std::make_unique<CConnection>();
        const int kind = Pick(10);
        if (m_compression && kind != 0) {
            // One in ten negotiated nothing; one in ten asked for no history.
            c->member = std::make_unique<CDeflateMember>(kind != 1);
            m_group.Join(*c->member);
        }
        m_open.push_back(m_nextId);
        m_all.emplace(m_nextId++, std::move(c));
    }

    void Disconnect(int id)
    {
        CConnection& c = *m_all.at(id);
        if (c.member) {
            m_group.Leave(*c.member);
        }
        std::erase(m_open, id);
    }

    std::vector<int> Subset(bool most)
    {
        std::vector<int> out;
        for (int id : m_open) {
            if (most ? Pick(10) != 0 : Pick(5) == 0) {
                out.push_back(id);
            }
        }
        return out;
    }

    // A pose list like the module's: many entries, one of them changed.
    std::string NextPoses()
    {
        if (m_poses.empty()) {
            m_poses = Noise(2300);
        }
        const std::size_t at = static_cast<std::size_t>(Pick(static_cast<int>(m_poses.size() - 8)));
        for (std::size_t i = 0; i < 8; ++i) {
            m_poses[at + i] = static_cast<char>(m_rng());
        }
        return m_poses;
    }

    std::string Noise(int n)
    {
        std::string out(static_cast<std::size_t>(n), '\0');
        for (char& ch : out) {
            ch = static_cast<char>(m_rng());
        }
        return out;
    }

    void Send(const std::vector<int>& ids, const std::string& body)
    {
        auto message = std::make_shared<const std::string>(body);
        std::vector<CDeflateMember*> members;
        for (int id : ids) {
            members.push_back(m_all.at(id)->member.get());
        }
        const CDeflateGroup::CPlan plan = m_group.Plan(members, message, m_now);
        std::map<const std::string*, std::size_t> sharers;
        for (int id : ids) {
            CConnection& c = *m_all.at(id);
            const CWirePayload payload =
                c.member ? m_group.For(plan, c.member.get()) : CWirePayload{message, false};
            if (payload.compressed) {
                ++sharers[payload.bytes.get()];
            }
            rawBytes += body.size();
            wireBytes += payload.bytes->size();
            c.expected.push_back(body);
            if (const std::optional<std::string> decoded = c.inflater.Decode(payload)) {
                c.decoded.push_back(*decoded);
            } else {
                c.failed = true;
            }
        }
        for (const auto& [buffer, n] : sharers) {
            sharedBuffersMax = std::max(sharedBuffersMax, n);
        }
    }

    bool m_compression;
    std::mt19937 m_rng;
    CDeflateGroup m_group;
    Clock::time_point m_now = Clock::time_point{} + 1h;
    std::map<int, std::unique_ptr<CConnection>> m_all;
    std::vector<int> m_open;
    int m_nextId = 1;
    std::string m_poses;
};

TEST(DeflateGroup, EveryConnectionDecodesExactlyWhatItWasSent)
{
    for (uint32_t seed : {1u, 2u, 3u, 4u}) {
        SCOPED_TRACE(seed);
        CScenario compressed(true, seed);
        compressed.Run(1500);
        compressed.Check();

        CScenario plain(false, seed);
        plain.Run(1500);
        plain.Check();
        EXPECT_EQ(compressed.Streams(), plain.Streams());
        EXPECT_EQ(plain.wireBytes, plain.rawBytes);

        // The scenario went through what it is meant to, and the group paid
        // off even with random bodies and every kind of partial send.
        const CDeflateStats& stats = compressed.Group().Stats();
        EXPECT_GT(stats.epochs, 5u);
        EXPECT_GT(stats.uncompressedToMembers, 0u);
        EXPECT_GT(compressed.sharedBuffersMax, 5u);
        EXPECT_LT(compressed.wireBytes * 2, compressed.rawBytes);
    }
}

struct CGroupFixture : ::testing::Test {
    CDeflateGroup group{1s};
    Clock::time_point now = Clock::time_point{} + 1h;
    std::string poses = std::string(1000, 'p') + std::string(1000, 'q');

    CDeflateGroup::CPlan Send(std::vector<CDeflateMember*> to, const std::string& body)
    {
        return group.Plan(to, std::make_shared<const std::string>(body), now);
    }
};

TEST_F(CGroupFixture, NewcomersWaitForTheNextEpochAndMembersShareOneBuffer)
{
    CDeflateMember a(true);
    CDeflateMember b(true);
    CDeflateMember c(true);
    group.Join(a);
    group.Join(b);
    CDeflateGroup::CPlan plan = Send({&a, &b}, poses);
    // The first ones join at once: nobody's history can be disturbed.
    EXPECT_TRUE(a.InGroup());
    EXPECT_EQ(group.Members(), 2u);
    const CWirePayload forA = group.For(plan, &a);
    const CWirePayload forB = group.For(plan, &b);
    EXPECT_TRUE(forA.compressed);
    EXPECT_EQ(forA.bytes.get(), forB.bytes.get());
    EXPECT_FALSE(group.For(plan, &a).compressed) << "a second delivery must not touch the window again";

    group.Join(c);
    now += 500ms;
    plan = Send({&a, &b, &c}, poses);
    EXPECT_FALSE(c.InGroup());
    EXPECT_TRUE(group.For(plan, &c).compressed); // without history
    EXPECT_NE(group.For(plan, &c).bytes.get(), plan.group.get());
    EXPECT_EQ(group.Stats().epochs, 1u);

    now += 600ms;
    plan = Send({&a, &b, &c}, poses);
    EXPECT_TRUE(c.InGroup());
    EXPECT_EQ(group.Stats().epochs, 2u);
    EXPECT_EQ(group.For(plan, &c).bytes.get(), group.For(plan, &a).bytes.get());
}

TEST_F(CGroupFixture, PartialAndShortMessagesGoUncompressedToMembers)
{
    CDeflateMember a(true);
    CDeflateMember b(true);
    CDeflateMember c(true);
    CDeflateMember noHistory(false);
    for (CDeflateMember* m : {&a, &b, &c, &noHistory}) {
        group.Join(*m);
    }
    Send({&a, &b, &c, &noHistory}, poses);
    EXPECT_EQ(group.Members(), 3u);
    EXPECT_FALSE(noHistory.InGroup());

    CDeflateGroup::CPlan plan = Send({&a}, poses);
    EXPECT_FALSE(group.For(plan, &a).compressed);
    EXPECT_EQ(group.Stats().uncompressedToMembers, 1u);

    plan = Send({&a, &b, &c}, "short");
    EXPECT_FALSE(group.For(plan, &a).compressed);

    // Most of the members: the one it misses leaves the group.
    plan = Send({&a, &b}, poses);
    EXPECT_TRUE(group.For(plan, &a).compressed);
    EXPECT_FALSE(c.InGroup());

    group.Leave(b);
    EXPECT_EQ(group.Members(), 1u);
}

} // namespace
