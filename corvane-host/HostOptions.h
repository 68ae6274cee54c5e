// Settings of one corvane-host run and the parsers for their text forms.
#ifndef CORVANE_HOST_HOSTOPTIONS_H
#define CORVANE_HOST_HOSTOPTIONS_H

#include "FleetOptions.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

struct CHostOptions {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 7780;
    std::filesystem::path modulePath;
    std::filesystem::path webRoot;
    uint32_t maxUsers = 155;
    std::filesystem::path tokenFile; // empty: every token is accepted
    double rate = 30;                // messages a second per connection
    uint32_t burst = 60;
    std::size_t maxFrame = 4096;
    std::size_t sendQueue = std::size_t{1} << 20;
    std::string logLevel = "info";
    CFleetOptions fleet;
};

// "4096", "64KiB", "1MiB", "2GiB" (also "k", "KB", "M", "MB": binary units all
// the same). Throws std::invalid_argument with a one-line reason.
std::size_t ParseByteSize(std::string_view text);

// "127.0.0.1:7780", "[::1]:7780", "localhost:7780". Port 0 asks the system
// for a free one. Throws std::invalid_argument with a one-line reason.
void ParseListenAddress(std::string_view text, std::string& host, uint16_t& port);

#endif
