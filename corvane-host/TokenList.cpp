#include "TokenList.h"

#include <algorithm>
#include <cstring>
#include <cerrno>
#include <fstream>
#include <stdexcept>

namespace {

// Touches the same number of bytes whatever the contents; only the lengths of
// the token and the line can shape the time.
bool ConstantTimeEqual(std::string_view a, std::string_view b)
{
    const std::size_t n = std::max(a.size(), b.size());
    unsigned diff = a.size() == b.size() ? 0u : 1u;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char x = i < a.size() ? static_cast<unsigned char>(a[i]) : 0;
        const unsigned char y = i < b.size() ? static_cast<unsigned char>(b[i]) : 0;
        diff |= static_cast<unsigned>(x ^ y);
    }
    return diff == 0;
}

} // namespace

CTokenList CTokenList::Load(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read token file " + file.string() + ": " + std::strerror(errno));
    }
    std::vector<std::string> tokens;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            tokens.push_back(line);
        }
    }
    if (in.bad()) {
        throw std::runtime_error("cannot read token file " + file.string());
    }
    return CTokenList(std::move(tokens));
}

CTokenList::CTokenList(std::vector<std::string> tokens) : m_tokens(std::move(tokens)) {}

bool CTokenList::Accepts(std::string_view token) const
{
    bool found = false;
    for (const std::string& line : m_tokens) {
        found |= ConstantTimeEqual(line, token);
    }
    return found;
}
