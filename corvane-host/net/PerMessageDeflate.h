// permessage-deflate on the game connection: what the host answers to a
// client's offer, and the inflater of the messages clients send compressed.
//
// The host always asks clients not to keep their compressor's history
// (client_no_context_takeover): a client's messages are a few bytes each,
// history would gain nothing, and without it one inflater serves every
// connection instead of a window per connection.
#ifndef CORVANE_HOST_PERMESSAGEDEFLATE_H
#define CORVANE_HOST_PERMESSAGEDEFLATE_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <zlib.h>

// The window the host asks a client to compress with, when the client lets
// it choose.
inline constexpr int kClientWindowBits = 9;

struct CDeflateAgreement {
    // The client asked the server not to keep history: each message it
    // receives compressed is compressed on its own.
    bool serverNoContextTakeover = false;
    // The Sec-WebSocket-Extensions answer.
    std::string answer;
};

// Picks the first offer of permessage-deflate in a Sec-WebSocket-Extensions
// value (all of the request's such fields, joined by commas) that the host
// can honour. Offers with unknown, repeated or malformed parameters, and
// offers that limit the server's window below 15 bits (the shared compressor
// uses the full window), are declined; nullopt when none is left.
std::optional<CDeflateAgreement> NegotiateDeflate(std::string_view extensions);

// Inflates the messages of clients, each on its own, never producing more
// than a limit.
class CBoundedInflater {
public:
    enum class EResult { kOk, kTooBig, kBadData };

    CBoundedInflater();
    ~CBoundedInflater();
    CBoundedInflater(const CBoundedInflater&) = delete;
    CBoundedInflater& operator=(const CBoundedInflater&) = delete;

    // Inflates one message's payload (the sender removed the final
    // 00 00 ff ff; it is put back here) into `out`. kTooBig as soon as the
    // output would pass `limit`: at most limit + 1 bytes are ever produced,
    // whatever the input claims.
    EResult Inflate(const uint8_t* data, std::size_t size, std::size_t limit, std::string& out);

private:
    z_stream m_stream{};
};

#endif
