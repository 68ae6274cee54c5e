#include "HostOptions.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <limits>
#include <stdexcept>

namespace {

std::string Lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

} // namespace

std::string CheckOptions(const CHostOptions& options)
{
    if (options.maxUsers < 1 || options.maxUsers > kMaxUsersLimit) {
        return "--max-users " + std::to_string(options.maxUsers) + " is outside 1 to " +
               std::to_string(kMaxUsersLimit) + ": with more users the module's per-tick lists (255 objects, " +
               "100 of them its own) no longer fit and nobody would get updates";
    }
    if (options.maxFrame < kMinMaxFrame || options.maxFrame > kMaxMaxFrame) {
        return "--max-frame " + std::to_string(options.maxFrame) + " is outside " + std::to_string(kMinMaxFrame) +
               " bytes (the largest Login) to 64MiB";
    }
    if (options.sendQueue < kMinSendQueue) {
        return "--send-queue " + std::to_string(options.sendQueue) + " is below 16KiB: the module's messages " +
               "of one tick alone can take 6KiB, so every player would be cut";
    }
    if (options.maxPending < 1) {
        return "--max-pending must be at least 1";
    }
    if (options.maxPendingPerAddress < 1) {
        return "--max-pending-per-address must be at least 1";
    }
    if (options.stdoutBuffer < 1024) {
        return "--stdout-buffer must be at least 1KiB";
    }
    return {};
}

std::size_t ParseByteSize(std::string_view text)
{
    std::size_t value = 0;
    const char* begin = text.data();
    const char* end = text.data() + text.size();
    auto [next, ec] = std::from_chars(begin, end, value);
    if (ec != std::errc{} || next == begin) {
        throw std::invalid_argument("'" + std::string(text) + "' is not a size (e.g. 4096, 64KiB, 1MiB)");
    }

    const std::string unit = Lower(std::string_view(next, static_cast<std::size_t>(end - next)));
    unsigned shift = 0;
    if (unit.empty() || unit == "b") {
        shift = 0;
    } else if (unit == "k" || unit == "kb" || unit == "kib") {
        shift = 10;
    } else if (unit == "m" || unit == "mb" || unit == "mib") {
        shift = 20;
    } else if (unit == "g" || unit == "gb" || unit == "gib") {
        shift = 30;
    } else {
        throw std::invalid_argument("'" + std::string(text) + "' has an unknown unit (use KiB, MiB or GiB)");
    }

    if (value > (std::numeric_limits<std::size_t>::max() >> shift)) {
        throw std::invalid_argument("'" + std::string(text) + "' is too large");
    }
    return value << shift;
}

void ParseListenAddress(std::string_view text, std::string& host, uint16_t& port)
{
    const auto bad = [&](const char* why) {
        return std::invalid_argument("'" + std::string(text) + "' " + why + " (expected HOST:PORT)");
    };
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos) {
        throw bad("has no port");
    }

    std::string_view hostPart = text.substr(0, colon);
    const std::string_view portPart = text.substr(colon + 1);
    if (hostPart.size() >= 2 && hostPart.front() == '[' && hostPart.back() == ']') {
        hostPart = hostPart.substr(1, hostPart.size() - 2);
    } else if (hostPart.find(':') != std::string_view::npos) {
        throw bad("needs brackets around an IPv6 address");
    }
    if (hostPart.empty()) {
        throw bad("has no host");
    }

    unsigned value = 0;
    auto [next, ec] = std::from_chars(portPart.data(), portPart.data() + portPart.size(), value);
    if (ec != std::errc{} || next != portPart.data() + portPart.size() || portPart.empty() || value > 65535) {
        throw bad("has no valid port");
    }

    host = hostPart;
    port = static_cast<uint16_t>(value);
}
