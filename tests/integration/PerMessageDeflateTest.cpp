// permessage-deflate: the answer to a client's offers, and the inflater of
// client messages with its hard limit.
#include "net/PerMessageDeflate.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>

namespace {

// Compresses `text` as a permessage-deflate sender does: raw deflate, sync
// flush, the final 00 00 ff ff removed.
// With `history`, the stream refers back to it: the last message of a
// sender that kept its context.
std::string Deflate(const std::string& text, int windowBits = 15, const std::string& history = {})
{
    z_stream s{};
    EXPECT_EQ(deflateInit2(&s, 9, Z_DEFLATED, -windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out;
    for (const std::string* part : {&history, &text}) {
        out.assign(deflateBound(&s, part->size()) + 64, '\0');
        s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part->data()));
        s.avail_in = static_cast<uInt>(part->size());
        s.next_out = reinterpret_cast<Bytef*>(out.data());
        s.avail_out = static_cast<uInt>(out.size());
        EXPECT_EQ(deflate(&s, Z_SYNC_FLUSH), Z_OK);
        out.resize(out.size() - s.avail_out - 4);
    }
    deflateEnd(&s);
    return out;
}

CBoundedInflater::EResult Inflate(const std::string& in, std::size_t limit, std::string& out)
{
    static CBoundedInflater inflater; // one for all, as in the host
    return inflater.Inflate(reinterpret_cast<const uint8_t*>(in.data()), in.size(), limit, out);
}

TEST(PerMessageDeflate, AnswersTheFirstOfferItCanHonour)
{
    // What browsers send.
    auto a = NegotiateDeflate("permessage-deflate; client_max_window_bits");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->answer, "permessage-deflate; client_no_context_takeover; client_max_window_bits=9");
    EXPECT_FALSE(a->serverNoContextTakeover);

    a = NegotiateDeflate("permessage-deflate");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->answer, "permessage-deflate; client_no_context_takeover");

    a = NegotiateDeflate("x-other, permessage-deflate; server_no_context_takeover; client_max_window_bits=\"12\"");
    ASSERT_TRUE(a);
    EXPECT_TRUE(a->serverNoContextTakeover);
    EXPECT_EQ(a->answer, "permessage-deflate; client_no_context_takeover; server_no_context_takeover; "
                         "client_max_window_bits=9");

    a = NegotiateDeflate("Permessage-Deflate ;client_max_window_bits=8 ; server_max_window_bits=15");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->answer,
              "permessage-deflate; client_no_context_takeover; server_max_window_bits=15; client_max_window_bits=8");

    // A small server window is declined, the fallback offer taken.
    a = NegotiateDeflate("permessage-deflate; server_max_window_bits=10, permessage-deflate");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->answer, "permessage-deflate; client_no_context_takeover");
}

TEST(PerMessageDeflate, DeclinesOffersItCannotHonour)
{
    for (const char* offer : {
             "",
             "x-webkit-deflate-frame",
             "permessage-deflate; server_max_window_bits=9",
             "permessage-deflate; server_max_window_bits",
             "permessage-deflate; client_max_window_bits=7",
             "permessage-deflate; client_max_window_bits=16",
             "permessage-deflate; client_max_window_bits=1x",
             "permessage-deflate; server_no_context_takeover=1",
             "permessage-deflate; server_no_context_takeover; server_no_context_takeover",
             "permessage-deflate; client_max_window_bits; client_max_window_bits",
             "permessage-deflate; unknown_parameter",
             "permessage-deflate;",
         }) {
        EXPECT_FALSE(NegotiateDeflate(offer)) << offer;
    }
}

TEST(PerMessageDeflate, InflatesClientMessagesOnTheirOwn)
{
    std::string out;
    const std::string move = "\x63\x00\x02\x00\x05\x00\x07\x00";
    ASSERT_EQ(Inflate(Deflate(move), 100, out), CBoundedInflater::EResult::kOk);
    EXPECT_EQ(out, move);
    // A small client window, and again: nothing is kept between messages.
    const std::string text(3000, 'a');
    ASSERT_EQ(Inflate(Deflate(text, 9), 4096, out), CBoundedInflater::EResult::kOk);
    EXPECT_EQ(out, text);
    ASSERT_EQ(Inflate(Deflate(move), 100, out), CBoundedInflater::EResult::kOk);
    EXPECT_EQ(out, move);
    // An empty message, and one ending in a final block.
    ASSERT_EQ(Inflate(std::string("\x02\x00", 2), 100, out), CBoundedInflater::EResult::kOk);
    EXPECT_EQ(out, "");
    ASSERT_EQ(Inflate(std::string("\x03\x00", 2), 100, out), CBoundedInflater::EResult::kOk);
}

TEST(PerMessageDeflate, StopsAtTheLimitAndOnBadData)
{
    std::string out;
    // Exactly the limit passes; one byte more does not.
    ASSERT_EQ(Inflate(Deflate(std::string(4096, 'x')), 4096, out), CBoundedInflater::EResult::kOk);
    ASSERT_EQ(Inflate(Deflate(std::string(4097, 'x')), 4096, out), CBoundedInflater::EResult::kTooBig);
    EXPECT_LE(out.size(), 4097u);
    // A bomb: 64 MiB in about 64 KB; inflating stops right after the limit.
    const std::string bomb = Deflate(std::string(std::size_t{64} << 20, '\0'));
    ASSERT_EQ(Inflate(bomb, 4096, out), CBoundedInflater::EResult::kTooBig);
    EXPECT_LE(out.size(), 4097u);

    EXPECT_EQ(Inflate(std::string("\xff\xff\xff\xff", 4), 4096, out), CBoundedInflater::EResult::kBadData);
    // A back reference before the start of the message: no history is kept.
    const std::string text = "a message that a sender with history sends twice";
    EXPECT_EQ(Inflate(Deflate(text, 15, text), 4096, out), CBoundedInflater::EResult::kBadData);
    // And the inflater is fine afterwards.
    ASSERT_EQ(Inflate(Deflate("after"), 100, out), CBoundedInflater::EResult::kOk);
    EXPECT_EQ(out, "after");
}

} // namespace
