// The tokens of --token-file, one per line. A login looks its token up in
// constant time whatever the size of the file, and without the time telling
// anything about the tokens.
#ifndef CORVANE_HOST_TOKENLIST_H
#define CORVANE_HOST_TOKENLIST_H

#include "game/TokenDigest.h"

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
    CTokenDigester m_digest;
    std::unordered_set<CTokenDigest, CTokenDigestHash, CTokenDigestEqual> m_digests;
};

#endif
