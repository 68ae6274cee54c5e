#include "fleet/FleetOptions.h"

#include <charconv>
#include <stdexcept>

namespace {

bool ReadNumber(std::string_view text, unsigned long max, unsigned long& value)
{
    auto [next, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return !text.empty() && ec == std::errc{} && next == text.data() + text.size() && value <= max;
}

} // namespace

std::string CRedisAddress::Describe() const
{
    const bool v6 = host.find(':') != std::string::npos;
    return "redis://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) + "/" + std::to_string(db);
}

CRedisAddress ParseRedisUrl(std::string_view url)
{
    const auto bad = [&](const char* why) {
        return std::invalid_argument("Redis URL '" + std::string(url) + "' " + why +
                                     " (expected redis://HOST:PORT[/DB])");
    };
    constexpr std::string_view kScheme = "redis://";
    if (url.substr(0, kScheme.size()) != kScheme) {
        throw bad("does not start with redis://");
    }
    std::string_view rest = url.substr(kScheme.size());

    CRedisAddress address;
    const std::size_t slash = rest.find('/');
    if (slash != std::string_view::npos) {
        unsigned long db = 0;
        const std::string_view dbText = rest.substr(slash + 1);
        if (!dbText.empty()) {
            if (!ReadNumber(dbText, 15, db)) {
                throw bad("has no valid database number");
            }
        }
        address.db = static_cast<unsigned>(db);
        rest = rest.substr(0, slash);
    }

    const std::size_t at = rest.rfind('@');
    if (at != std::string_view::npos) {
        const std::string_view credentials = rest.substr(0, at);
        const std::size_t colon = credentials.find(':');
        if (colon == std::string_view::npos) {
            address.password = credentials;
        } else {
            address.user = credentials.substr(0, colon);
            address.password = credentials.substr(colon + 1);
        }
        rest = rest.substr(at + 1);
    }

    std::string_view host = rest;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string_view::npos) {
            throw bad("has an unclosed [");
        }
        host = rest.substr(1, close - 1);
        const std::string_view after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                throw bad("has text after ]");
            }
            port = after.substr(1);
            if (port.empty()) {
                throw bad("has no valid port");
            }
        }
    } else if (const std::size_t colon = rest.rfind(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
        if (host.find(':') != std::string_view::npos) {
            throw bad("needs brackets around an IPv6 address");
        }
        if (port.empty()) {
            throw bad("has no valid port");
        }
    }
    if (host.empty()) {
        throw bad("has no host");
    }
    if (!port.empty()) {
        unsigned long value = 0;
        if (!ReadNumber(port, 65535, value) || value == 0) {
            throw bad("has no valid port");
        }
        address.port = static_cast<uint16_t>(value);
    }
    address.host = host;
    return address;
}

bool IsValidWorldName(std::string_view name)
{
    if (name.empty() || name.size() > 100) {
        return false;
    }
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-' || c == ':' || c == '[' || c == ']';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool IsValidPublicUrl(std::string_view url)
{
    for (const std::string_view scheme : {std::string_view("ws://"), std::string_view("wss://")}) {
        if (url.substr(0, scheme.size()) == scheme && url.size() > scheme.size()) {
            for (const char c : url) {
                // Goes into JSON and a browser's WebSocket constructor as is.
                if (static_cast<unsigned char>(c) <= ' ' || c == '"' || c == '\\' || c == 0x7F) {
                    return false;
                }
            }
            return true;
        }
    }
    return false;
}
