// The tokens of --token-file, one per line. A login looks its token up in
// constant time whatever the size of the file, and without the time telling
// anything about the tokens.
#ifndef CORVANE_HOST_TOKENLIST_H
#define CORVANE_HOST_TOKENLIST_H

#include "game/SipHash.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

class CTokenList {
public:
    // Reads the file; empty lines (and a trailing CR) are ignored. Throws
    // std::runtime_error naming the file when it cannot be read.
    static CTokenList Load(const std::filesystem::path& file);

    explicit CTokenList(const std::vector<std::string>& tokens);

    bool Accepts(std::string_view token) const;

    // Distinct tokens.
    std::size_t Size() const { return m_digests.size(); }

private:
    // 128 bits of keyed hash: two SipHash-2-4 under independent random keys.
    // A wrong token matches one with odds of 2^-128 per token.
    using CDigest = std::array<uint64_t, 2>;

    struct CDigestHash {
        // The digest is already uniform and secret; its first word will do.
        std::size_t operator()(const CDigest& d) const { return static_cast<std::size_t>(d[0]); }
    };
    struct CDigestEqual {
        // Every bit is compared, whatever differs first.
        bool operator()(const CDigest& a, const CDigest& b) const { return ((a[0] ^ b[0]) | (a[1] ^ b[1])) == 0; }
    };

    CDigest Digest(std::string_view token) const;

    std::array<CSipKey, 2> m_keys;
    std::unordered_set<CDigest, CDigestHash, CDigestEqual> m_digests;
};

#endif
