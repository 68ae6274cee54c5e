#include "WsFrames.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

// A server frame: unmasked, with the length in its shortest form.
std::string ServerFrame(uint8_t first, std::string_view payload)
{
    std::string out(1, static_cast<char>(first));
    const std::size_t n = payload.size();
    if (n < 126) {
        out += static_cast<char>(n);
    } else if (n <= 0xFFFF) {
        out += static_cast<char>(126);
        out += static_cast<char>(n >> 8);
        out += static_cast<char>(n & 0xFF);
    } else {
        out += static_cast<char>(127);
        for (int shift = 56; shift >= 0; shift -= 8) {
            out += static_cast<char>((static_cast<uint64_t>(n) >> shift) & 0xFF);
        }
    }
    return out + std::string(payload);
}

using Messages = std::vector<std::pair<EWsOpcode, std::string>>;

// Feeds `bytes` in pieces of `step` and collects what the reader hands on,
// compressed messages marked with a "z:" in front.
bool Feed(CWsFrameReader& reader, std::string_view bytes, std::size_t step, Messages& out)
{
    for (std::size_t at = 0; at < bytes.size();) {
        const std::span<uint8_t> space = reader.Space();
        const std::size_t n = std::min({step, bytes.size() - at, space.size()});
        std::memcpy(space.data(), bytes.data() + at, n);
        at += n;
        reader.Commit(n);
        if (!reader.Parse([&](EWsOpcode op, std::string_view payload, bool compressed) {
                out.emplace_back(op, (compressed ? "z:" : "") + std::string(payload));
            })) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST(WsFrameReader, SplitsAStreamIntoMessagesWhateverTheReadSizes)
{
    const std::string big(70000, 'x');
    const std::string medium(2300, 'm');
    const std::string stream = ServerFrame(0x82, "abcd") + ServerFrame(0x82, medium) + ServerFrame(0x89, "p") +
                               ServerFrame(0x82, big) + ServerFrame(0x82, "");
    for (const std::size_t step : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, stream.size()}) {
        CWsFrameReader reader(1024);
        Messages got;
        ASSERT_TRUE(Feed(reader, stream, step, got)) << step;
        ASSERT_EQ(got.size(), 5u) << step;
        EXPECT_EQ(got[0], std::make_pair(EWsOpcode::kBinary, std::string("abcd")));
        EXPECT_EQ(got[1].second, medium);
        EXPECT_EQ(got[2], std::make_pair(EWsOpcode::kPing, std::string("p")));
        EXPECT_EQ(got[3].second, big);
        EXPECT_EQ(got[4], std::make_pair(EWsOpcode::kBinary, std::string()));
    }
}

TEST(WsFrameReader, JoinsFragmentsAndPassesControlFramesBetweenThem)
{
    const std::string stream = ServerFrame(0x02, "ab") + ServerFrame(0x8A, "pong") + ServerFrame(0x00, "cd") +
                               ServerFrame(0x80, "ef");
    CWsFrameReader reader;
    Messages got;
    ASSERT_TRUE(Feed(reader, stream, stream.size(), got));
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], std::make_pair(EWsOpcode::kPong, std::string("pong")));
    EXPECT_EQ(got[1], std::make_pair(EWsOpcode::kBinary, std::string("abcdef")));
}

TEST(WsFrameReader, RejectsWhatAServerMustNotSend)
{
    const std::vector<std::string> bad = {
        std::string("\x82\x81", 2) + "mask" + "x",  // masked
        ServerFrame(0xC2, "x"),                     // RSV1 without compression
        ServerFrame(0xA2, "x"),                     // RSV2
        ServerFrame(0x83, "x"),                     // unknown opcode
        ServerFrame(0x09, "x"),                     // fragmented ping
        ServerFrame(0x89, std::string(126, 'p')),   // control frame too long
        ServerFrame(0x80, "x"),                     // continuation of nothing
        ServerFrame(0x02, "a") + ServerFrame(0x82, "b"), // new message inside a fragmented one
    };
    for (const std::string& stream : bad) {
        CWsFrameReader reader;
        Messages got;
        EXPECT_FALSE(Feed(reader, stream, stream.size(), got)) << stream;
    }
}

TEST(WsFrameReader, MarksCompressedMessagesOnceAgreed)
{
    const std::string stream = ServerFrame(0xC2, "a") + ServerFrame(0x42, "b") + ServerFrame(0x89, "p") +
                               ServerFrame(0x80, "c") + ServerFrame(0x82, "d");
    CWsFrameReader reader;
    reader.AllowCompressed();
    Messages got;
    ASSERT_TRUE(Feed(reader, stream, 3, got));
    EXPECT_EQ(got, (Messages{{EWsOpcode::kBinary, "z:a"}, {EWsOpcode::kPing, "p"}, {EWsOpcode::kBinary, "z:bc"},
                             {EWsOpcode::kBinary, "d"}}));
    for (const std::string& bad : {ServerFrame(0xC9, "p"), ServerFrame(0x02, "a") + ServerFrame(0xC0, "b")}) {
        CWsFrameReader strict;
        strict.AllowCompressed();
        EXPECT_FALSE(Feed(strict, bad, bad.size(), got));
    }
}

namespace {

// One message as the server's compressor sends it: sync-flushed, the
// 00 00 ff ff at its end removed.
std::string Deflated(z_stream& s, const std::string& message)
{
    std::string out(message.size() + 1024, '\0');
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
    s.avail_in = static_cast<uInt>(message.size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&s, Z_SYNC_FLUSH), Z_OK);
    out.resize(out.size() - s.avail_out - 4);
    return out;
}

std::string Noise(std::size_t size, uint32_t seed)
{
    std::string message(size, '\0');
    uint32_t x = seed;
    for (char& c : message) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    return message;
}

} // namespace

// The server's compressor keeps its history across messages; so must the
// inflater, and a message may refer to the one before.
TEST(WsInflater, KeepsHistoryAcrossMessages)
{
    z_stream s{};
    ASSERT_EQ(deflateInit2(&s, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const std::string message = Noise(2300, 1);
    std::vector<std::string> sent;
    for (int i = 0; i < 3; ++i) {
        sent.push_back(Deflated(s, message));
    }
    deflateEnd(&s);
    EXPECT_LT(sent[1].size() * 10, sent[0].size()) << "the second refers to the first";

    CWsInflater inflater;
    for (const std::string& payload : sent) {
        const std::optional<std::string_view> got = inflater.Inflate(payload);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, message);
    }
    EXPECT_FALSE(inflater.Inflate("\xff\xff\xff"));
}

// The inflater reuses its output room: a large message must not leave its
// tail on the small ones after it.
TEST(WsInflater, HandsOnEachMessageWholeWhateverCameBefore)
{
    z_stream s{};
    ASSERT_EQ(deflateInit2(&s, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
    const std::vector<std::string> messages = {Noise(30, 2), Noise(70000, 3), Noise(5000, 4), Noise(1, 5)};
    std::vector<std::string> sent;
    for (const std::string& message : messages) {
        sent.push_back(Deflated(s, message));
    }
    deflateEnd(&s);

    CWsInflater inflater;
    for (std::size_t i = 0; i < sent.size(); ++i) {
        const std::optional<std::string_view> got = inflater.Inflate(sent[i]);
        ASSERT_TRUE(got) << i;
        EXPECT_EQ(*got, messages[i]) << i;
    }
}

TEST(WsClientFrame, IsMaskedAndUnmasksToThePayload)
{
    for (const std::size_t n : {std::size_t{0}, std::size_t{5}, std::size_t{125}, std::size_t{126}, std::size_t{70000}}) {
        std::string payload(n, '\0');
        for (std::size_t i = 0; i < n; ++i) {
            payload[i] = static_cast<char>(i * 7);
        }
        std::string frame;
        AppendClientFrame(frame, EWsOpcode::kBinary, payload, 0x11223344);
        ASSERT_EQ(static_cast<uint8_t>(frame[0]), 0x82);
        ASSERT_TRUE(static_cast<uint8_t>(frame[1]) & 0x80);
        const std::size_t header = n < 126 ? 2 : n <= 0xFFFF ? 4 : 10;
        ASSERT_EQ(frame.size(), header + 4 + n);
        CWsFrameHeader parsed{};
        ASSERT_EQ(ReadWsFrameHeader(reinterpret_cast<const uint8_t*>(frame.data()), frame.size(), parsed),
                  EWsHeaderRead::kOk);
        EXPECT_EQ(parsed.length, n) << "the length as the header gives it";
        EXPECT_EQ(frame.substr(header, 4), "\x11\x22\x33\x44");
        std::string unmasked = frame.substr(header + 4);
        for (std::size_t i = 0; i < n; ++i) {
            unmasked[i] = static_cast<char>(unmasked[i] ^ frame[header + (i & 3)]);
        }
        EXPECT_EQ(unmasked, payload);
    }
}

TEST(WsClientFrame, CloseCodeIsBigEndianAnd1005WhenAbsent)
{
    EXPECT_EQ(CloseCodeOf(std::string_view("\x03\xf0", 2)), 1008);
    EXPECT_EQ(CloseCodeOf(std::string_view("\x03\xe8" "bye", 5)), 1000);
    EXPECT_EQ(CloseCodeOf(""), 1005);
}
