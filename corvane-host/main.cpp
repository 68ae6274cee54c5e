// corvane-host: loads the Corvane module library and serves players over
// WebSocket. Exit codes: 0 after a signal-driven stop or drain, 2 for a start-up or
// usage error (one line on standard error), 1 for anything unexpected.
#include "HostOptions.h"
#include "HostServer.h"
#include "StopSignals.h"
#include "game/ModuleLoader.h"
#include "ops/Metrics.h"
#include "ops/StartupError.h"
#include "ops/StdoutDrain.h"

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <exception>
#include <filesystem>
#include <string>

#ifndef CORVANE_DEFAULT_WEB_ROOT
#define CORVANE_DEFAULT_WEB_ROOT "web"
#endif
#ifndef CORVANE_INSTALL_WEB_RELDIR
#define CORVANE_INSTALL_WEB_RELDIR "../share/corvane/web"
#endif

namespace {

constexpr int kExitUsage = 2;

// The installed browser client when the host runs from an installed tree,
// otherwise the source tree's.
std::filesystem::path DefaultWebRoot()
{
    const std::filesystem::path dir = CModuleLoader::ExecutableDir();
    std::error_code ec;
    if (!dir.empty()) {
        const std::filesystem::path installed = (dir / CORVANE_INSTALL_WEB_RELDIR).lexically_normal();
        if (std::filesystem::is_directory(installed, ec)) {
            return installed;
        }
    }
    return CORVANE_DEFAULT_WEB_ROOT;
}

int Fail(const std::string& message)
{
    std::fprintf(stderr, "corvane-host: %s\n", message.c_str());
    return kExitUsage;
}

} // namespace

int main(int argc, char** argv)
{
    CHostOptions options;
    options.modulePath = CModuleLoader::DefaultPath();
    options.webRoot = DefaultWebRoot();

    std::string listen = options.listenHost + ":" + std::to_string(options.listenPort);
    std::string module = options.modulePath.string();
    std::string webRoot = options.webRoot.string();
    std::string tokenFile;
    std::string maxFrame = "4096";
    std::string sendQueue = "1MiB";
    std::string record;
    std::string recordOutputs = "hash";
    std::string stdoutBuffer = "1MiB";
    std::string compression = "on";
    unsigned compressionEpochMs = 50;

    CLI::App app{"corvane-host: loads the Corvane module library and serves players over WebSocket.\n"
                 "Game connection: ws://HOST:PORT/ws. Also /metrics (Prometheus), /healthz, and the\n"
                 "browser client's files from the web root.",
                 "corvane-host"};
    // A container image sets its default here and still takes --listen.
    app.add_option("--listen", listen, "Address and port to serve on (HOST:PORT, [IPv6]:PORT)")
        ->capture_default_str()
        ->envname("CORVANE_LISTEN");
    app.add_option("--module", module, "Module library to load")->capture_default_str();
    app.add_option("--web-root", webRoot, "Folder of the browser client's static files")->capture_default_str();
    app.add_option("--max-users", options.maxUsers,
                   "Most users logged in at once, 1 to 155: with more on the grid the module's per-tick lists "
                   "(255 objects, 100 of them its own) no longer fit and nobody gets updates")
        ->capture_default_str();
    app.add_option("--token-file", tokenFile,
                   "File of accepted login tokens, one a line (default: any token is accepted)");
    app.add_option("--rate", options.rate, "Messages a second each connection may send")
        ->capture_default_str()
        ->check(CLI::Range(0.001, 1e9));
    app.add_option("--burst", options.burst, "Messages a connection may send at once")
        ->capture_default_str()
        ->check(CLI::Range(1u, 1000000000u));
    app.add_option("--max-frame", maxFrame,
                   "Largest message a client may send, header included (e.g. 4096, 64KiB); at least 260 bytes, "
                   "the largest Login, and at most 64MiB")
        ->capture_default_str();
    app.add_option("--send-queue", sendQueue,
                   "Unsent bytes a connection may fall behind before it is closed (e.g. 1MiB); at least 16KiB, "
                   "two ticks of the module's largest messages")
        ->capture_default_str();
    app.add_option("--max-pending", options.maxPending,
                   "Game connections not logged in yet, at most; a new one closes the oldest with 1013")
        ->capture_default_str();
    app.add_option("--max-pending-per-address", options.maxPendingPerAddress,
                   "Game connections not logged in yet from one client address (IPv6: one /64), at most; a new "
                   "one closes that address's oldest with 1013")
        ->capture_default_str();
    app.add_option("--compression", compression,
                   "permessage-deflate for clients that offer it: broadcasts compressed once for all, with history")
        ->capture_default_str()
        ->check(CLI::IsMember({"on", "off"}));
    app.add_option("--compression-epoch", compressionEpochMs,
                   "Least milliseconds between two resets of the shared compressor that let new connections join it")
        ->capture_default_str()
        ->check(CLI::Range(1u, 60000u));
    unsigned resumeWindow = 15;
    app.add_option("--resume-window", resumeWindow,
                   "Seconds a user whose connection was cut stays logged in, waiting for a resume with its "
                   "token; 0 logs it out at once")
        ->capture_default_str()
        ->check(CLI::Range(0u, 3600u));
    double drainTimeout = 30;
    app.add_option("--drain-timeout", drainTimeout,
                   "Seconds a first SIGTERM or SIGINT lets players keep playing while no new logins are taken; "
                   "the host exits when the last has left or the time is up, closing the rest with 1001. A second "
                   "signal ends at once")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 86400.0));
    double seatTtl = 15;
    app.add_option("--redis", options.fleet.redisUrl,
                   "Join the fleet of worlds registered in this Redis (redis://HOST:PORT[/DB])");
    app.add_option("--world", options.fleet.world, "Name of this world in the fleet (default: HOST:PORT of --listen)");
    app.add_option("--public-url", options.fleet.publicUrl,
                   "Where players reach this world (default: ws://HOST:PORT/ws of --listen)");
    app.add_option("--seat-ttl", seatTtl, "Seconds a seat from matchmaking stays valid")
        ->capture_default_str()
        ->check(CLI::Range(0.1, 3600.0));
    app.add_option("--seats-per-token", options.fleet.seatsPerToken,
                   "With --token-file: live seats one token may hold across the fleet; asking for one more "
                   "gives up its oldest")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    app.add_option("--seats-per-address", options.fleet.seatsPerAddress,
                   "Without --token-file: live seats one client address (an IPv6 /64) may hold across the fleet; "
                   "asking for one more gives up its oldest")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));
    app.add_option("--fleet-rate", options.fleet.rate,
                   "Requests to /matchmake and /worlds per second from one client address; beyond them 429")
        ->capture_default_str()
        ->check(CLI::Range(0.01, 100000.0));
    app.add_option("--fleet-burst", options.fleet.burst,
                   "Requests to /matchmake and /worlds one client address may make at once")
        ->capture_default_str()
        ->check(CLI::Range(1.0, 100000.0));
    app.add_option("--log-level", options.logLevel, "Log level of the host's own lines")
        ->capture_default_str()
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));

    app.add_option("--stdout-buffer", stdoutBuffer,
                   "The module's standard output held while nobody reads it; beyond it lines are dropped")
        ->capture_default_str();
    app.add_option("--record", record,
                   "Write a journal of the session to FILE, for corvane-replay (see docs/replay.md)");
    app.add_option("--record-outputs", recordOutputs,
                   "What the journal keeps of each send: a 64-bit hash, or the recipients and bytes in full")
        ->capture_default_str()
        ->check(CLI::IsMember({"hash", "full"}));

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        return Fail(std::string(e.what()) + " (see --help)");
    }

    try {
        ParseListenAddress(listen, options.listenHost, options.listenPort);
        options.maxFrame = ParseByteSize(maxFrame);
        options.sendQueue = ParseByteSize(sendQueue);
        options.stdoutBuffer = ParseByteSize(stdoutBuffer);
    } catch (const std::invalid_argument& e) {
        return Fail(std::string(e.what()) + " (see --help)");
    }
    if (const std::string problem = CheckOptions(options); !problem.empty()) {
        return Fail(problem + " (see --help)");
    }
    if (!options.fleet.Enabled() && (!options.fleet.world.empty() || !options.fleet.publicUrl.empty())) {
        return Fail("--world and --public-url need --redis (see --help)");
    }
    if (!options.fleet.world.empty() && !IsValidWorldName(options.fleet.world)) {
        return Fail("--world '" + options.fleet.world + "' must be 1 to 100 of A-Z a-z 0-9 . _ - : [ ] (see --help)");
    }
    if (!options.fleet.publicUrl.empty() && !IsValidPublicUrl(options.fleet.publicUrl)) {
        return Fail("--public-url '" + options.fleet.publicUrl + "' must be a ws:// or wss:// URL (see --help)");
    }
    if (options.fleet.Enabled()) {
        try {
            ParseRedisUrl(options.fleet.redisUrl);
        } catch (const std::invalid_argument& e) {
            return Fail(std::string(e.what()) + " (see --help)");
        }
    }
    options.resumeWindow = std::chrono::seconds(resumeWindow);
    options.fleet.seatTtl = std::chrono::milliseconds(static_cast<long long>(seatTtl * 1000));
    options.drainTimeout = std::chrono::milliseconds(static_cast<long long>(drainTimeout * 1000));
    options.modulePath = module;
    options.webRoot = webRoot;
    options.tokenFile = tokenFile;
    options.recordFile = record;
    options.recordFullOutputs = recordOutputs == "full";
    options.compression = compression == "on";
    options.compressionEpoch = std::chrono::milliseconds(compressionEpochMs);

    auto logger = spdlog::stderr_color_mt("corvane-host");
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ %v");
    logger->set_level(spdlog::level::from_str(options.logLevel));
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);

    CStopSignals::IgnoreBrokenPipes();
    std::unique_ptr<CStdoutDrain> drain;
    try {
        drain = std::make_unique<CStdoutDrain>(options.stdoutBuffer);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }

    try {
        CHostServer server(options);
        server.Metrics().AddCounter("corvane_stdout_lines_total", "Lines of the module's standard output passed on.",
                                    [&drain] { return drain->LinesWritten(); });
        server.Metrics().AddCounter("corvane_stdout_lines_dropped_total",
                                    "Lines of the module's standard output dropped because it was not being read.",
                                    [&drain] { return drain->LinesDropped(); });
        try {
            server.Start();
        } catch (const CStartupError& e) {
            return Fail(e.what());
        }
        return server.Run();
    } catch (const std::exception& e) {
        spdlog::critical("fatal: {}", e.what());
        return 1;
    }
}
