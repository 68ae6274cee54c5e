// The host's WebSocket framing: client frames as a browser or a bot sends
// them (masked, fragmented, split across reads) and the faults that must
// close the connection with the right code.
#include "net/WsFraming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

// One masked client frame.
std::string ClientFrame(uint8_t first, const std::string& payload, bool masked = true)
{
    std::string out(1, static_cast<char>(first));
    const std::size_t n = payload.size();
    const char maskBit = masked ? static_cast<char>(0x80) : 0;
    if (n < 126) {
        out.push_back(static_cast<char>(maskBit | static_cast<char>(n)));
    } else if (n <= 0xFFFF) {
        out.push_back(static_cast<char>(maskBit | 126));
        out.push_back(static_cast<char>(n >> 8));
        out.push_back(static_cast<char>(n & 0xFF));
    } else {
        out.push_back(static_cast<char>(maskBit | 127));
        for (int shift = 56; shift >= 0; shift -= 8) {
            out.push_back(static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF));
        }
    }
    const uint8_t key[4] = {0x37, 0xFA, 0x21, 0x3D};
    if (masked) {
        out.append(reinterpret_cast<const char*>(key), 4);
    }
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(static_cast<char>(masked ? payload[i] ^ static_cast<char>(key[i & 3]) : payload[i]));
    }
    return out;
}

constexpr uint8_t kFin = 0x80;

struct CReadResult {
    std::vector<std::pair<EWsOpcode, std::string>> frames;
    std::vector<bool> compressed;
    uint16_t code = 0;
};

// Feeds `bytes` in reads of at most `step` and collects what the reader reports.
CReadResult Feed(CWsServerReader& reader, const std::string& bytes, std::size_t step)
{
    CReadResult result;
    std::size_t at = 0;
    while (at < bytes.size() && result.code == 0) {
        const std::span<uint8_t> room = reader.Space();
        const std::size_t n = std::min({step, room.size(), bytes.size() - at});
        std::memcpy(room.data(), bytes.data() + at, n);
        reader.Commit(n);
        at += n;
        result.code = reader.Parse([&](EWsOpcode opcode, const uint8_t* data, std::size_t size, bool compressed) {
            result.frames.emplace_back(opcode, std::string(reinterpret_cast<const char*>(data), size));
            result.compressed.push_back(compressed);
            return true;
        });
    }
    return result;
}

CReadResult Feed(const std::string& bytes, std::size_t maxMessage = 1024, std::size_t step = 4096,
                 bool compression = false)
{
    CWsServerReader reader(maxMessage);
    if (compression) {
        reader.AllowCompressed();
    }
    return Feed(reader, bytes, step);
}

} // namespace

TEST(WsFraming, ServerHeadersUseTheShortestLengthForm)
{
    uint8_t header[kWsMaxServerHeader];
    ASSERT_EQ(WriteServerFrameHeader(header, EWsOpcode::kBinary, 125), 2u);
    EXPECT_EQ(header[0], 0x82);
    EXPECT_EQ(header[1], 125);
    ASSERT_EQ(WriteServerFrameHeader(header, EWsOpcode::kBinary, 126), 4u);
    EXPECT_EQ(header[1], 126);
    EXPECT_EQ((header[2] << 8) | header[3], 126);
    ASSERT_EQ(WriteServerFrameHeader(header, EWsOpcode::kClose, 70000), 10u);
    EXPECT_EQ(header[0], 0x88);
    EXPECT_EQ(header[1], 127);
    EXPECT_EQ((header[7] << 16) | (header[8] << 8) | header[9], 70000);
}

TEST(WsFraming, MaskedFramesOfEveryLengthFormAreUnmasked)
{
    const std::string small = "move";
    const std::string medium(300, 'm');
    const std::string large(70000, 'L');
    const std::string bytes = ClientFrame(kFin | 0x2, small) + ClientFrame(kFin | 0x2, medium) +
                              ClientFrame(kFin | 0x2, large) + ClientFrame(kFin | 0x9, "hi");
    // Whole, and one byte at a time: a frame split across reads waits for its end.
    for (const std::size_t step : {bytes.size(), std::size_t{1}, std::size_t{1000}}) {
        const CReadResult result = Feed(bytes, 100000, step);
        ASSERT_EQ(result.code, 0) << step;
        ASSERT_EQ(result.frames.size(), 4u) << step;
        EXPECT_EQ(result.frames[0].second, small);
        EXPECT_EQ(result.frames[1].second, medium);
        EXPECT_EQ(result.frames[2].second, large);
        EXPECT_EQ(result.frames[3], std::make_pair(EWsOpcode::kPing, std::string("hi")));
    }
}

TEST(WsFraming, FragmentsArePutTogetherAroundControlFrames)
{
    const std::string bytes = ClientFrame(0x2, "ab") + ClientFrame(kFin | 0x9, "p") + ClientFrame(0x0, "cd") +
                              ClientFrame(kFin | 0x0, "ef") + ClientFrame(kFin | 0x1, "text");
    const CReadResult result = Feed(bytes, 1024, 3);
    ASSERT_EQ(result.code, 0);
    ASSERT_EQ(result.frames.size(), 3u);
    EXPECT_EQ(result.frames[0], std::make_pair(EWsOpcode::kPing, std::string("p")));
    EXPECT_EQ(result.frames[1], std::make_pair(EWsOpcode::kBinary, std::string("abcdef")));
    EXPECT_EQ(result.frames[2], std::make_pair(EWsOpcode::kText, std::string("text")));
}

TEST(WsFraming, MessagesOverTheLimitAreRefusedBeforeTheirPayload)
{
    // The header alone decides: the payload never arrives.
    EXPECT_EQ(Feed(ClientFrame(kFin | 0x2, std::string(2000, 'x')).substr(0, 8), 1024).code, kWsMessageTooBig);
    EXPECT_EQ(Feed(ClientFrame(kFin | 0x2, std::string(1024, 'x')), 1024).code, 0);
    // Fragments count together.
    const std::string fragments = ClientFrame(0x2, std::string(600, 'x')) + ClientFrame(kFin | 0x0, std::string(600, 'y'));
    const CReadResult result = Feed(fragments, 1024);
    EXPECT_EQ(result.code, kWsMessageTooBig);
    EXPECT_TRUE(result.frames.empty());
}

TEST(WsFraming, ProtocolFaultsAreReported)
{
    const std::pair<const char*, std::string> faults[] = {
        {"unmasked", ClientFrame(kFin | 0x2, "x", false)},
        {"RSV1 without compression", ClientFrame(kFin | 0x40 | 0x2, "x")},
        {"RSV2", ClientFrame(kFin | 0x20 | 0x2, "x")},
        {"RSV3", ClientFrame(kFin | 0x10 | 0x2, "x")},
        {"unknown opcode", ClientFrame(kFin | 0x3, "x")},
        {"fragmented control frame", ClientFrame(0x9, "x")},
        {"long control frame", ClientFrame(kFin | 0x8, std::string(126, 'x'))},
        {"continuation without a start", ClientFrame(kFin | 0x0, "x")},
        {"new message inside a fragmented one", ClientFrame(0x2, "x") + ClientFrame(kFin | 0x2, "y")},
    };
    for (const auto& [what, bytes] : faults) {
        EXPECT_EQ(Feed(bytes).code, kWsProtocolError) << what;
    }
}

TEST(WsFraming, Rsv1MarksTheFirstFrameOfACompressedMessageOnly)
{
    const std::string bytes = ClientFrame(kFin | 0x40 | 0x2, "z") + ClientFrame(0x40 | 0x2, "a") +
                              ClientFrame(kFin | 0x9, "p") + ClientFrame(kFin | 0x0, "b") + ClientFrame(kFin | 0x2, "c");
    const CReadResult result = Feed(bytes, 1024, 3, true);
    ASSERT_EQ(result.code, 0);
    ASSERT_EQ(result.frames.size(), 4u);
    EXPECT_EQ(result.compressed, (std::vector<bool>{true, false, true, false}));
    EXPECT_EQ(result.frames[2].second, "ab");

    const std::pair<const char*, std::string> faults[] = {
        {"on a control frame", ClientFrame(kFin | 0x40 | 0x9, "x")},
        {"on a continuation", ClientFrame(0x2, "x") + ClientFrame(kFin | 0x40 | 0x0, "y")},
        {"with RSV2", ClientFrame(kFin | 0x60 | 0x2, "x")},
    };
    for (const auto& [what, fault] : faults) {
        EXPECT_EQ(Feed(fault, 1024, 4096, true).code, kWsProtocolError) << what;
    }
}

TEST(WsFraming, ParsingStopsWhenTheCallbackSaysSo)
{
    CWsServerReader reader(1024);
    const std::string bytes = ClientFrame(kFin | 0x8, std::string("\x03\xe8", 2)) + ClientFrame(kFin | 0x2, "late");
    const std::span<uint8_t> room = reader.Space();
    std::memcpy(room.data(), bytes.data(), bytes.size());
    reader.Commit(bytes.size());
    int calls = 0;
    EXPECT_EQ(reader.Parse([&](EWsOpcode, const uint8_t*, std::size_t, bool) { return ++calls < 1; }), 0);
    EXPECT_EQ(calls, 1);
}

// Only a close frame that is empty, or carries a code a peer may send, is
// taken; the rest is a protocol error, however short.
TEST(WsFraming, CloseFramesCarryNothingOrAValidCode)
{
    const auto closeWith = [](int code, const std::string& reason = "") {
        return ClientFrame(kFin | 0x8, std::string{static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)} + reason);
    };
    EXPECT_EQ(Feed(ClientFrame(kFin | 0x8, "")).code, 0);
    EXPECT_EQ(Feed(ClientFrame(kFin | 0x8, std::string(1, '\x03'))).code, kWsProtocolError) << "one byte";
    for (const int code : {0, 999, 1004, 1005, 1006, 1015, 1016, 1100, 2000, 2999, 5000, 65535}) {
        EXPECT_EQ(Feed(closeWith(code)).code, kWsProtocolError) << code;
    }
    for (const int code : {1000, 1001, 1002, 1003, 1007, 1008, 1009, 1010, 1011, 1012, 1013, 1014, 3000, 4999}) {
        const CReadResult result = Feed(closeWith(code, "bye"));
        EXPECT_EQ(result.code, 0) << code;
        ASSERT_EQ(result.frames.size(), 1u) << code;
        EXPECT_EQ(result.frames[0].second.substr(2), "bye");
    }
}

namespace {

std::shared_ptr<const std::string> Payload(std::size_t size) { return std::make_shared<const std::string>(size, 'p'); }

// What the queue hands to one write, as bytes.
std::string GatherAll(const CWsSendQueue& queue)
{
    CSendBuffer iov[64];
    std::size_t offered = 0;
    const std::size_t count = queue.Gather(iov, offered);
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        out.append(static_cast<const char*>(iov[i].data), iov[i].size);
    }
    EXPECT_EQ(out.size(), offered);
    return out;
}

} // namespace

// Empty frames are not free: the bound limits how many frames are queued,
// not only their payload bytes.
TEST(WsSendQueue, EveryFrameIsChargedItsOverheadAgainstTheBound)
{
    constexpr std::size_t kLimit = 16 * 1024;
    CWsSendQueue queue;
    std::size_t pushed = 0;
    while (queue.TryPush(EWsOpcode::kPong, Payload(0), kLimit) && pushed < 1000000) {
        ++pushed;
    }
    EXPECT_EQ(pushed, kLimit / kWsQueuedFrameCost);
    EXPECT_EQ(queue.Charged(), kLimit);
    EXPECT_EQ(queue.Pongs(), pushed);
    EXPECT_FALSE(queue.TryPush(EWsOpcode::kBinary, Payload(1), kLimit));
    EXPECT_FALSE(CWsSendQueue().TryPush(EWsOpcode::kBinary, Payload(kLimit), kLimit)) << "payload plus overhead";
    EXPECT_TRUE(CWsSendQueue().TryPush(EWsOpcode::kBinary, Payload(kLimit - kWsQueuedFrameCost), kLimit));

    // The close goes in past the bound; written out, everything is released.
    queue.Push(EWsOpcode::kClose, std::make_shared<const std::string>("\x03\xe8"));
    std::size_t pongsWritten = 0;
    bool closeWritten = false;
    for (int writes = 0; !queue.Empty() && writes < 1000; ++writes) {
        closeWritten = queue.Written(GatherAll(queue).size(), [&](EWsOpcode opcode, std::size_t) {
            pongsWritten += opcode == EWsOpcode::kPong ? 1 : 0;
        });
    }
    EXPECT_TRUE(closeWritten);
    EXPECT_EQ(pongsWritten, pushed);
    EXPECT_EQ(queue.Charged(), 0u);
    EXPECT_EQ(queue.Pongs(), 0u);
}

TEST(WsSendQueue, PartialWritesAndTheDroppedBacklogKeepTheCountsRight)
{
    CWsSendQueue queue;
    ASSERT_TRUE(queue.TryPush(EWsOpcode::kBinary, Payload(300), 1 << 20));
    ASSERT_TRUE(queue.TryPush(EWsOpcode::kPong, Payload(5), 1 << 20));
    ASSERT_TRUE(queue.TryPush(EWsOpcode::kBinary, Payload(10), 1 << 20));
    const std::string bytes = GatherAll(queue);
    ASSERT_EQ(bytes.size(), (4 + 300) + (2 + 5) + (2 + 10));
    EXPECT_EQ(bytes.substr(0, 4), std::string("\x82\x7e\x01\x2c", 4));

    // Half the first frame is out: the next gather starts where it stopped.
    std::vector<std::size_t> finished;
    EXPECT_FALSE(queue.Written(150, [&](EWsOpcode, std::size_t size) { finished.push_back(size); }));
    EXPECT_TRUE(finished.empty());
    EXPECT_EQ(GatherAll(queue), bytes.substr(150));

    // Dropping the backlog keeps the frame being written, and its charge.
    queue.DropBacklog();
    EXPECT_EQ(queue.Frames(), 1u);
    EXPECT_EQ(queue.Pongs(), 0u);
    EXPECT_EQ(queue.Charged(), CWsSendQueue::Cost(300));
    queue.Push(EWsOpcode::kClose, std::make_shared<const std::string>("\x03\xf0"));
    EXPECT_TRUE(queue.Written((4 + 300 - 150) + (2 + 2), [&](EWsOpcode, std::size_t size) { finished.push_back(size); }));
    EXPECT_EQ(finished, (std::vector<std::size_t>{300, 2}));
    EXPECT_TRUE(queue.Empty());
    EXPECT_EQ(queue.Charged(), 0u);
}
