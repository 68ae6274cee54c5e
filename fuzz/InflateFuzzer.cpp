// The inflating reader of client messages: the bytes of one connection after
// permessage-deflate was agreed, read frame by frame as the host reads them,
// every compressed message inflated with the host's limit. The checks: no
// inflation produces more than the limit and a byte, an accepted message is
// within the limit, the same payload always inflates to the same result (no
// history carries over from one message to the next), and an uncompressed
// message, deflated as a client would, inflates back to itself.
#include "FuzzCheck.h"

#include "net/PerMessageDeflate.h"
#include "net/WsFraming.h"

#include <zlib.h>

#include <cstring>
#include <string>

namespace {

std::string ClientDeflate(const uint8_t* data, std::size_t size)
{
    z_stream s{};
    FUZZ_CHECK(deflateInit2(&s, 1, Z_DEFLATED, -9, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2 failed");
    std::string out(deflateBound(&s, size) + 16, '\0');
    s.next_in = const_cast<Bytef*>(data);
    s.avail_in = static_cast<uInt>(size);
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    FUZZ_CHECK(deflate(&s, Z_SYNC_FLUSH) == Z_OK && s.avail_in == 0, "deflate did not take the message");
    out.resize(out.size() - s.avail_out - 4);
    deflateEnd(&s);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    static CBoundedInflater inflater;
    if (size < 1) {
        return 0;
    }
    // The first byte picks the limit, from the smallest --max-frame up.
    const std::size_t limit = 260 + std::size_t{data[0]} * 64;
    CWsServerReader reader(limit);
    reader.AllowCompressed();
    reader.Append(data + 1, size - 1);

    std::string out;
    std::string again;
    reader.Parse([&](EWsOpcode opcode, const uint8_t* payload, std::size_t n, bool compressed) {
        if (static_cast<uint8_t>(opcode) >= 0x8) {
            FUZZ_CHECK(!compressed, "a control frame reported compressed");
            return true;
        }
        if (!compressed) {
            const std::string deflated = ClientDeflate(payload, n);
            const auto result = inflater.Inflate(reinterpret_cast<const uint8_t*>(deflated.data()), deflated.size(),
                                                 limit, out);
            FUZZ_CHECK(result == CBoundedInflater::EResult::kOk, "a client's deflated message did not inflate");
            FUZZ_CHECK(out.size() == n && std::memcmp(out.data(), payload, n) == 0,
                       "a client's deflated message inflated to something else");
            return true;
        }
        const auto result = inflater.Inflate(payload, n, limit, out);
        FUZZ_CHECK(out.size() <= limit + 1, "inflated past the limit and a byte");
        FUZZ_CHECK(result != CBoundedInflater::EResult::kOk || out.size() <= limit, "accepted a message over the limit");
        FUZZ_CHECK(result != CBoundedInflater::EResult::kTooBig || out.size() > limit, "too big within the limit");
        const auto second = inflater.Inflate(payload, n, limit, again);
        FUZZ_CHECK(second == result && again == out, "the same message inflated differently");
        return true;
    });
    return 0;
}
