#include "game/TokenList.h"

#include <cstring>
#include <cerrno>
#include <fstream>
#include <stdexcept>

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
    return CTokenList(tokens);
}

CTokenList::CTokenList(const std::vector<std::string>& tokens)
{
    m_digests.reserve(tokens.size());
    for (const std::string& token : tokens) {
        m_digests.insert(m_digest(token));
    }
}

bool CTokenList::Accepts(std::string_view token) const { return m_digests.contains(m_digest(token)); }
