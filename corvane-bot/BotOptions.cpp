#include "BotOptions.h"

#include <charconv>

namespace {

constexpr std::array<std::string_view, kActionCount> kActionNames{"move", "attack", "area", "talk"};

bool ParseUnsigned(std::string_view text, uint32_t max, uint32_t& value)
{
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc{} && ptr == end && !text.empty() && value <= max;
}

} // namespace

EAction CActionMix::Pick(uint32_t draw) const
{
    for (std::size_t i = 0; i < kActionCount; ++i) {
        if (draw < weights[i]) {
            return static_cast<EAction>(i);
        }
        draw -= weights[i];
    }
    return EAction::kMove;
}

std::optional<CActionMix> ParseMix(std::string_view text, std::string& error)
{
    CActionMix mix;
    mix.weights = {};
    std::array<bool, kActionCount> seen{};
    while (!text.empty()) {
        const std::size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const std::size_t eq = item.find('=');
        const std::string_view name = item.substr(0, eq);
        std::size_t index = kActionCount;
        for (std::size_t i = 0; i < kActionCount; ++i) {
            if (kActionNames[i] == name) {
                index = i;
            }
        }
        if (index == kActionCount || eq == std::string_view::npos) {
            error = "expected NAME=WEIGHT with NAME one of move, attack, area, talk; got '" + std::string(item) + "'";
            return std::nullopt;
        }
        if (seen[index]) {
            error = "'" + std::string(name) + "' given twice";
            return std::nullopt;
        }
        seen[index] = true;
        if (!ParseUnsigned(item.substr(eq + 1), 1'000'000, mix.weights[index])) {
            error = "weight of '" + std::string(name) + "' is not a whole number up to 1000000";
            return std::nullopt;
        }
    }
    if (mix.Total() == 0) {
        error = "every weight is 0";
        return std::nullopt;
    }
    return mix;
}

std::optional<CWsUrl> ParseWsUrl(std::string_view text, std::string& error)
{
    constexpr std::string_view kScheme = "ws://";
    if (!text.starts_with(kScheme)) {
        error = "only ws:// URLs are supported";
        return std::nullopt;
    }
    text.remove_prefix(kScheme.size());
    CWsUrl url;
    const std::size_t slash = text.find('/');
    std::string_view authority = text.substr(0, slash);
    url.target = slash == std::string_view::npos ? "/" : std::string(text.substr(slash));
    std::string_view port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            error = "unclosed '[' in the host";
            return std::nullopt;
        }
        url.host = std::string(authority.substr(1, close - 1));
        const std::string_view rest = authority.substr(close + 1);
        if (!rest.empty() && (rest[0] != ':' || rest.size() == 1)) {
            error = "expected ':PORT' after the host";
            return std::nullopt;
        }
        port = rest.empty() ? rest : rest.substr(1);
    } else {
        const std::size_t colon = authority.find(':');
        url.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) {
            port = authority.substr(colon + 1);
            if (port.empty()) {
                error = "empty port";
                return std::nullopt;
            }
        }
    }
    if (url.host.empty()) {
        error = "no host in the URL";
        return std::nullopt;
    }
    if (!port.empty()) {
        uint32_t value = 0;
        if (!ParseUnsigned(port, 65535, value) || value == 0) {
            error = "port must be 1 to 65535";
            return std::nullopt;
        }
        url.port = static_cast<uint16_t>(value);
    }
    return url;
}
