#include "game/TokenDigest.h"

#include "game/SecureRandom.h"

#include <cstring>

CTokenDigester::CTokenDigester()
{
    uint8_t bytes[sizeof m_keys];
    FillSecureRandom(bytes);
    std::memcpy(m_keys.data(), bytes, sizeof bytes);
}

CTokenDigest CTokenDigester::operator()(std::string_view token) const
{
    return {SipHash24(m_keys[0], token), SipHash24(m_keys[1], token)};
}
