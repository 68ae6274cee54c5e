// What the host keeps of a secret token: 128 bits of keyed hash, two
// SipHash-2-4 under independent keys drawn per process, so that nobody
// outside can predict a digest or know which tokens share a bucket. A wrong
// token matches a given one with odds of 2^-128.
#ifndef CORVANE_HOST_TOKENDIGEST_H
#define CORVANE_HOST_TOKENDIGEST_H

#include "game/SipHash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

using CTokenDigest = std::array<uint64_t, 2>;

struct CTokenDigestHash {
    // The digest is already uniform and secret; its first word will do.
    std::size_t operator()(const CTokenDigest& d) const { return static_cast<std::size_t>(d[0]); }
};

struct CTokenDigestEqual {
    // Every bit is compared, whatever differs first.
    bool operator()(const CTokenDigest& a, const CTokenDigest& b) const
    {
        return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0;
    }
};

class CTokenDigester {
public:
    // Draws the keys from the system's cryptographic generator.
    CTokenDigester();

    CTokenDigest operator()(std::string_view token) const;

private:
    std::array<CSipKey, 2> m_keys;
};

#endif
