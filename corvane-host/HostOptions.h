// Settings of one corvane-host run and the parsers for their text forms.
#ifndef CORVANE_HOST_HOSTOPTIONS_H
#define CORVANE_HOST_HOSTOPTIONS_H

#include "fleet/FleetOptions.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

// With more users on the grid the module's per-tick lists (at most 255
// objects, 100 of them its own) no longer fit: every tick and every move
// would send nothing, and nobody would get updates again.
inline constexpr uint32_t kMaxUsersLimit = 155;
// The largest Login: the 4-byte header, the count byte and a 255-byte token.
inline constexpr std::size_t kMinMaxFrame = 4 + 1 + 255;
inline constexpr std::size_t kMaxMaxFrame = std::size_t{64} << 20;
// Two ticks of the module's largest lists (PoseList 2,300 bytes and
// ObjInfoList 3,830 at 255 objects): below that every player is cut at the
// first tick that finds the socket still busy.
inline constexpr std::size_t kMinSendQueue = std::size_t{16} << 10;

struct CHostOptions {
    std::string listenHost = "127.0.0.1";
    uint16_t listenPort = 7780;
    std::filesystem::path modulePath;
    std::filesystem::path webRoot;
    uint32_t maxUsers = kMaxUsersLimit;
    std::filesystem::path tokenFile; // empty: every token is accepted
    double rate = 30;                // messages a second per connection
    uint32_t burst = 60;
    std::size_t maxFrame = 4096;
    std::size_t sendQueue = std::size_t{1} << 20;
    uint32_t maxPending = 1024; // game connections not logged in yet
    uint32_t maxPendingPerAddress = 16;
    std::string logLevel = "info";
    std::size_t stdoutBuffer = std::size_t{1} << 20; // the module's unread standard output
    std::filesystem::path recordFile; // empty: no journal
    bool recordFullOutputs = false;   // sends in full rather than hashed
    bool compression = true;          // permessage-deflate when a client offers it
    // Least time between two resets of the shared compressor that admit
    // connections waiting to join it.
    std::chrono::milliseconds compressionEpoch{50};
    // How long a user cut without a goodbye waits for a resume; 0: off.
    std::chrono::seconds resumeWindow{15};
    // After the first stop signal: how long players may keep playing while
    // no new ones are let in; the rest are closed when it is up.
    std::chrono::milliseconds drainTimeout{30000};
    CFleetOptions fleet;
};

// Settings that parse but cannot work together with the module: "" when
// they can, else one line saying which flag is wrong and why.
std::string CheckOptions(const CHostOptions& options);

// "4096", "64KiB", "1MiB", "2GiB" (also "k", "KB", "M", "MB": binary units all
// the same). Throws std::invalid_argument with a one-line reason.
std::size_t ParseByteSize(std::string_view text);

// "127.0.0.1:7780", "[::1]:7780", "localhost:7780". Port 0 asks the system
// for a free one. Throws std::invalid_argument with a one-line reason.
void ParseListenAddress(std::string_view text, std::string& host, uint16_t& port);

#endif
