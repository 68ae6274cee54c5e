// The tokens of --token-file: one per line, compared in constant time.
#ifndef CORVANE_HOST_TOKENLIST_H
#define CORVANE_HOST_TOKENLIST_H

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

class CTokenList {
public:
    // Reads the file; empty lines (and a trailing CR) are ignored. Throws
    // std::runtime_error naming the file when it cannot be read.
    static CTokenList Load(const std::filesystem::path& file);

    explicit CTokenList(std::vector<std::string> tokens);

    // Compares against every line without stopping at the first match, so the
    // time taken does not tell which line (or how much of one) matched.
    bool Accepts(std::string_view token) const;

    std::size_t Size() const { return m_tokens.size(); }

private:
    std::vector<std::string> m_tokens;
};

#endif
