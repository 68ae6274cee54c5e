#include "net/PerMessageDeflate.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <new>
#include <utility>

namespace {

constexpr std::string_view kExtensionName = "permessage-deflate";
// What a sender strips from the end of each compressed message.
constexpr uint8_t kTail[] = {0x00, 0x00, 0xFF, 0xFF};
// Output is produced in steps of this much, so that a small message never
// makes the inflater reserve the whole limit.
constexpr std::size_t kOutputStep = 4096;

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && blank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b)
{
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// 8 to 15, optionally quoted; 0 for anything else.
int WindowBits(std::string_view value)
{
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
        value = value.substr(1, value.size() - 2);
    }
    int bits = 0;
    const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), bits);
    if (ec != std::errc() || end != value.data() + value.size() || value.empty() || bits < 8 || bits > 15) {
        return 0;
    }
    return bits;
}

std::optional<CDeflateAgreement> ParseOffer(std::string_view offer)
{
    std::size_t semi = offer.find(';');
    if (!EqualsIgnoringCase(Trim(offer.substr(0, semi)), kExtensionName)) {
        return std::nullopt;
    }
    bool serverNoContext = false;
    bool clientNoContext = false;
    int serverBits = -1; // -1: not offered
    int clientBits = -1; // 0: offered without a value
    while (semi != std::string_view::npos) {
        offer.remove_prefix(semi + 1);
        semi = offer.find(';');
        const std::string_view param = offer.substr(0, semi);
        const std::size_t eq = param.find('=');
        const std::string_view name = Trim(param.substr(0, eq));
        const std::optional<std::string_view> value =
            eq == std::string_view::npos ? std::nullopt : std::optional(Trim(param.substr(eq + 1)));
        if (name == "server_no_context_takeover" && !value && !serverNoContext) {
            serverNoContext = true;
        } else if (name == "client_no_context_takeover" && !value && !clientNoContext) {
            clientNoContext = true;
        } else if (name == "server_max_window_bits" && value && serverBits < 0) {
            serverBits = WindowBits(*value);
            if (serverBits == 0) {
                return std::nullopt;
            }
        } else if (name == "client_max_window_bits" && clientBits < 0) {
            clientBits = value ? WindowBits(*value) : 0;
            if (value && clientBits == 0) {
                return std::nullopt;
            }
        } else {
            return std::nullopt;
        }
    }
    if (serverBits >= 0 && serverBits < 15) {
        return std::nullopt;
    }
    CDeflateAgreement agreement;
    agreement.serverNoContextTakeover = serverNoContext;
    agreement.answer = "permessage-deflate; client_no_context_takeover";
    if (serverNoContext) {
        agreement.answer += "; server_no_context_takeover";
    }
    if (serverBits == 15) {
        agreement.answer += "; server_max_window_bits=15";
    }
    if (clientBits >= 0) {
        const int bits = clientBits == 0 ? kClientWindowBits : std::min(clientBits, kClientWindowBits);
        agreement.answer += "; client_max_window_bits=" + std::to_string(bits);
    }
    return agreement;
}

} // namespace

std::optional<CDeflateAgreement> NegotiateDeflate(std::string_view extensions)
{
    for (;;) {
        const std::size_t comma = extensions.find(',');
        if (auto agreement = ParseOffer(extensions.substr(0, comma))) {
            return agreement;
        }
        if (comma == std::string_view::npos) {
            return std::nullopt;
        }
        extensions.remove_prefix(comma + 1);
    }
}

CBoundedInflater::CBoundedInflater()
{
    // A raw stream with the largest window: a client that was not told a
    // window may use up to 15 bits.
    if (inflateInit2(&m_stream, -15) != Z_OK) {
        throw std::bad_alloc();
    }
}

CBoundedInflater::~CBoundedInflater() { inflateEnd(&m_stream); }

CBoundedInflater::EResult CBoundedInflater::Inflate(const uint8_t* data, std::size_t size, std::size_t limit,
                                                    std::string& out)
{
    out.clear();
    inflateReset(&m_stream);
    const std::pair<const uint8_t*, std::size_t> inputs[] = {{data, size}, {kTail, sizeof kTail}};
    for (const auto& [input, inputSize] : inputs) {
        m_stream.next_in = const_cast<Bytef*>(input);
        m_stream.avail_in = static_cast<uInt>(inputSize);
        for (;;) {
            if (out.size() > limit) {
                return EResult::kTooBig;
            }
            const std::size_t produced = out.size();
            const std::size_t room = std::min(kOutputStep, limit + 1 - produced);
            out.resize(produced + room);
            m_stream.next_out = reinterpret_cast<Bytef*>(out.data() + produced);
            m_stream.avail_out = static_cast<uInt>(room);
            const int rc = inflate(&m_stream, Z_SYNC_FLUSH);
            out.resize(produced + room - m_stream.avail_out);
            if (rc == Z_STREAM_END) {
                // A final block ends the message; what follows it is ignored.
                return out.size() > limit ? EResult::kTooBig : EResult::kOk;
            }
            if (rc != Z_OK && rc != Z_BUF_ERROR) {
                return EResult::kBadData;
            }
            // Room left over means the input is used up and nothing is held back.
            if (m_stream.avail_in == 0 && m_stream.avail_out > 0) {
                break;
            }
        }
    }
    return out.size() > limit ? EResult::kTooBig : EResult::kOk;
}
