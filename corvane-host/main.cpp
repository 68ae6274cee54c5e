// corvane-host: loads the Corvane module library and serves players over
// WebSocket. Exit codes: 0 after a signal-driven stop, 2 for a start-up or
// usage error (one line on standard error), 1 for anything unexpected.
#include "HostOptions.h"
#include "HostServer.h"
#include "ModuleLoader.h"
#include "StartupError.h"

#include <CLI/CLI.hpp>
#include <spdlog/sinks/stdout_color_sinks.h>
#include <spdlog/spdlog.h>

#include <cstdio>
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

    CLI::App app{"corvane-host: loads the Corvane module library and serves players over WebSocket.\n"
                 "Game connection: ws://HOST:PORT/ws. Also /metrics (Prometheus), /healthz, and the\n"
                 "browser client's files from the web root.",
                 "corvane-host"};
    app.add_option("--listen", listen, "Address and port to serve on (HOST:PORT, [IPv6]:PORT)")->capture_default_str();
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
                   "Game connections not logged in yet, at most; further ones are closed at once with 1013")
        ->capture_default_str();
    app.add_option("--log-level", options.logLevel, "Log level of the host's own lines")
        ->capture_default_str()
        ->check(CLI::IsMember({"trace", "debug", "info", "warn", "error", "critical", "off"}));

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
    } catch (const std::invalid_argument& e) {
        return Fail(std::string(e.what()) + " (see --help)");
    }
    if (const std::string problem = CheckOptions(options); !problem.empty()) {
        return Fail(problem + " (see --help)");
    }
    options.modulePath = module;
    options.webRoot = webRoot;
    options.tokenFile = tokenFile;

    auto logger = spdlog::stderr_color_mt("corvane-host");
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e %^%l%$ %v");
    logger->set_level(spdlog::level::from_str(options.logLevel));
    logger->flush_on(spdlog::level::info);
    spdlog::set_default_logger(logger);

    try {
        CHostServer server(options);
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
