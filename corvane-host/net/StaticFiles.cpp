#include "net/StaticFiles.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <system_error>
#include <utility>

namespace fs = std::filesystem;

namespace {

int HexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool IsInside(const fs::path& root, const fs::path& candidate)
{
    return std::mismatch(root.begin(), root.end(), candidate.begin(), candidate.end()).first == root.end();
}

} // namespace

bool PercentDecode(std::string_view in, std::string& out)
{
    out.clear();
    out.reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        char c = in[i];
        if (c == '%') {
            if (i + 2 >= in.size()) {
                return false;
            }
            const int hi = HexValue(in[i + 1]);
            const int lo = HexValue(in[i + 2]);
            if (hi < 0 || lo < 0) {
                return false;
            }
            c = static_cast<char>(hi * 16 + lo);
            i += 2;
        }
        if (c == '\0') {
            return false;
        }
        out.push_back(c);
    }
    return true;
}

CStaticFile LookUpStaticFile(const fs::path& root, std::string_view target)
{
    target = target.substr(0, target.find_first_of("?#"));
    if (target.empty() || target.front() != '/') {
        return {EStaticLookup::BadTarget, {}};
    }

    std::string decoded;
    if (!PercentDecode(target, decoded)) {
        return {EStaticLookup::BadTarget, {}};
    }
    if (decoded.find('\\') != std::string::npos) {
        return {EStaticLookup::Forbidden, {}};
    }

    fs::path relative;
    std::size_t pos = 0;
    while (pos <= decoded.size()) {
        std::size_t slash = decoded.find('/', pos);
        if (slash == std::string::npos) {
            slash = decoded.size();
        }
        const std::string_view segment(decoded.data() + pos, slash - pos);
        if (segment == "..") {
            return {EStaticLookup::Forbidden, {}};
        }
        if (!segment.empty() && segment != ".") {
            relative /= fs::path(std::string(segment));
        }
        pos = slash + 1;
    }

    if (root.empty()) {
        return {EStaticLookup::NotFound, {}};
    }
    fs::path candidate = root / relative;
    std::error_code ec;
    if (fs::is_directory(candidate, ec)) {
        candidate /= "index.html";
    }

    const fs::path real = fs::weakly_canonical(candidate, ec);
    if (ec) {
        return {EStaticLookup::NotFound, {}};
    }
    if (!IsInside(root, real)) {
        return {EStaticLookup::Forbidden, {}};
    }
    if (!fs::is_regular_file(real, ec)) {
        return {EStaticLookup::NotFound, {}};
    }
    return {EStaticLookup::Found, real};
}

std::string_view ContentTypeFor(const fs::path& file)
{
    static constexpr std::array<std::pair<std::string_view, std::string_view>, 16> kTypes{{
        {".html", "text/html; charset=utf-8"},
        {".htm", "text/html; charset=utf-8"},
        {".js", "text/javascript; charset=utf-8"},
        {".mjs", "text/javascript; charset=utf-8"},
        {".css", "text/css; charset=utf-8"},
        {".json", "application/json"},
        {".map", "application/json"},
        {".txt", "text/plain; charset=utf-8"},
        {".svg", "image/svg+xml"},
        {".png", "image/png"},
        {".jpg", "image/jpeg"},
        {".jpeg", "image/jpeg"},
        {".gif", "image/gif"},
        {".ico", "image/x-icon"},
        {".wasm", "application/wasm"},
        {".woff2", "font/woff2"},
    }};
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const auto& [suffix, type] : kTypes) {
        if (suffix == ext) {
            return type;
        }
    }
    return "application/octet-stream";
}
