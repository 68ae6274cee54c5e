#include "HostServer.h"

#include "StopSignals.h"

#include "fleet/AgonesSdk.h"
#include "fleet/Fleet.h"
#include "fleet/FleetRoutes.h"
#include "game/ModuleLoader.h"
#include "game/SharedState.h"
#include "game/TokenList.h"
#include "journal/JournalWriter.h"
#include "net/DeflateGroup.h"
#include "net/HttpRouter.h"
#include "net/Listener.h"
#include "net/PerMessageDeflate.h"
#include "net/ResumeKeeper.h"
#include "net/ServerContext.h"
#include "net/WebSocketSession.h"
#include "ops/Metrics.h"
#include "ops/StartupError.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

namespace asio = boost::asio;
namespace fs = std::filesystem;
using tcp = asio::ip::tcp;

// Members are destroyed in reverse: the connections and timers go before the
// event loop, and the module is unloaded last, when nothing can call it.
struct CHostServer::CImpl {
    explicit CImpl(CHostOptions opts) : options(std::move(opts)) {}

    void WaitForSignal()
    {
        signals.AsyncWait([this](const std::string& what, bool urgent) {
            spdlog::info("received {}", what);
            if (context->draining || urgent) {
                Stop("shutdown");
                return;
            }
            StartDrain();
            if (!context->stopping) {
                WaitForSignal();
            }
        });
    }

    // The world takes no one new; those playing go on until they leave or
    // the drain's time is up.
    void StartDrain()
    {
        context->draining = true;
        drainEnd = asio::steady_timer::clock_type::now() + options.drainTimeout;
        spdlog::info("draining: no new logins, {} user(s) logged in may play on for up to {} ms; a second signal "
                     "stops at once",
                     state->UsersOnline(), options.drainTimeout.count());
        if (fleet) {
            fleet->Drain();
        }
        CheckDrain();
    }

    // Polled rather than told: whatever keeps a user logged in, the drain
    // waits for the one count of the shared state.
    void CheckDrain()
    {
        if (context->stopping) {
            return;
        }
        if (state->UsersOnline() == 0) {
            spdlog::info("drain over: no user is logged in");
            Stop("draining");
            return;
        }
        const auto now = asio::steady_timer::clock_type::now();
        if (now >= drainEnd) {
            spdlog::info("drain over: time is up with {} user(s) logged in", state->UsersOnline());
            Stop("draining");
            return;
        }
        drainTimer.expires_at(std::min(drainEnd, now + kDrainPoll));
        drainTimer.async_wait([this](boost::system::error_code ec) {
            if (!ec) {
                CheckDrain();
            }
        });
    }

    // `reason`: the close reason every game connection still open gets.
    void Stop(std::string_view reason)
    {
        spdlog::info("stopping with {} user(s) online", state->UsersOnline());
        context->stopping = true;
        drainTimer.cancel();
        listener->Stop();
        for (const auto& weak : context->sessions) {
            if (auto session = weak.lock()) {
                session->Shutdown(reason);
            }
        }
        resume->LogoutAway();
        state->StopTimers();
        if (fleet) {
            fleet->Stop();
        }
        if (agones) {
            agones->Shutdown();
        }
        // A further signal now ends the process the default way.
        signals.Cancel();
    }

    static constexpr std::chrono::milliseconds kDrainPoll{100};

    CHostOptions options;
    std::unique_ptr<CModuleLoader> loader;
    asio::io_context ioc{1};
    CMetrics metrics;
    std::unique_ptr<CJournalWriter> journal;
    std::optional<CTokenList> tokens;
    std::unique_ptr<CDeflateGroup> deflate;
    std::unique_ptr<CBoundedInflater> inflater;
    std::unique_ptr<CWsBroadcaster> broadcaster;
    std::unique_ptr<CSharedState> state;
    std::unique_ptr<CResumeKeeper> resume;
    std::unique_ptr<CHttpRouter> router;
    std::unique_ptr<CServerContext> context;
    std::shared_ptr<CListener> listener;
    std::unique_ptr<CFleet> fleet;
    std::unique_ptr<CFleetGate> fleetGate;
    std::unique_ptr<CAgonesSdk> agones;
    CStopSignals signals{ioc};
    asio::steady_timer drainTimer{ioc};
    asio::steady_timer::time_point drainEnd{};
};

CHostServer::CHostServer(CHostOptions options) : m_impl(std::make_unique<CImpl>(std::move(options))) {}

CHostServer::~CHostServer() = default;

void CHostServer::Start()
{
    CImpl& impl = *m_impl;
    const CHostOptions& options = impl.options;

    if (!options.tokenFile.empty()) {
        try {
            impl.tokens = CTokenList::Load(options.tokenFile);
        } catch (const std::exception& e) {
            throw CStartupError(e.what());
        }
        if (impl.tokens->Size() == 0) {
            throw CStartupError("token file " + options.tokenFile.string() + " holds no token");
        }
    }

    fs::path webRoot;
    std::error_code ec;
    if (fs::is_directory(options.webRoot, ec)) {
        webRoot = fs::canonical(options.webRoot, ec);
    }
    if (webRoot.empty()) {
        spdlog::warn("web root {} is not a folder; no static files will be served", options.webRoot.string());
    }

    impl.loader = std::make_unique<CModuleLoader>(options.modulePath);
    // In a fleet the token file guards matchmaking; a login's token is its seat.
    const CTokenList* loginTokens = impl.tokens && !options.fleet.Enabled() ? &*impl.tokens : nullptr;
    impl.state = std::make_unique<CSharedState>(impl.ioc, impl.metrics, options.maxUsers, loginTokens);
    if (!options.recordFile.empty()) {
        impl.journal = std::make_unique<CJournalWriter>(options.recordFile, options.recordFullOutputs);
        impl.state->SetObserver(impl.journal.get());
        const CJournalWriter& journal = *impl.journal;
        impl.metrics.AddCounter("corvane_journal_records_total", "Records appended to the session journal.",
                                [&journal] { return journal.Records(); });
        impl.metrics.AddCounter("corvane_journal_bytes_written_total", "Bytes of the session journal on disk.",
                                [&journal] { return journal.BytesWritten(); });
        impl.metrics.AddCounter("corvane_journal_failures_total",
                                "Recordings stopped by a write error or a disk too slow.",
                                [&journal] { return journal.Failures(); });
        spdlog::info("recording the session to {} ({} outputs)", options.recordFile.string(),
                     options.recordFullOutputs ? "full" : "hashed");
    }
    if (!impl.state->StartModule(impl.loader->StartFunction())) {
        throw CStartupError("module " + options.modulePath.string() + " failed to start");
    }

    impl.router = std::make_unique<CHttpRouter>(
        webRoot,
        [&impl]() -> std::string {
            if (!impl.state->Started()) {
                return "starting";
            }
            if (impl.context->draining) {
                return "draining";
            }
            if (impl.fleet && !impl.fleet->HoldsName()) {
                return "another host serves this world's name; seat logins are refused until it is free";
            }
            return {};
        },
        [&impl] {
            return impl.metrics.Render(impl.state->UsersOnline(), impl.context->pending.Size()) +
                   (impl.fleet ? impl.fleet->RenderMetrics() : "");
        });
    impl.context = std::make_unique<CServerContext>(
        CServerContext{{options.rate, options.burst, options.maxFrame, options.sendQueue},
                       *impl.state, impl.metrics, *impl.router, false, false, {}, 64,
                       CPendingConnections(options.maxPending, options.maxPendingPerAddress), nullptr, nullptr,
                       nullptr, {}, nullptr});
    impl.resume = std::make_unique<CResumeKeeper>(
        impl.ioc, *impl.state, CResumeSettings{options.resumeWindow, options.sendQueue, options.maxUsers});
    impl.context->resume = impl.resume.get();
    {
        const CResumeKeeper& resume = *impl.resume;
        impl.metrics.AddGauge("corvane_users_kept", "Users whose connection was cut, waiting for a resume.",
                              [&resume] { return resume.UsersAway(); });
        impl.metrics.AddGauge("corvane_resume_kept_bytes",
                              "Bytes charged by the frames kept for resumes, of all users (payload + 64 each).",
                              [&resume] { return resume.KeptBytes(); });
    }
    impl.metrics.AddGauge("corvane_draining",
                          "1 while the host drains (no new logins; players online play on), else 0.",
                          [&impl]() -> uint64_t { return impl.context->draining ? 1 : 0; });
    if (options.compression) {
        EnableCompression();
    }
    impl.listener = std::make_shared<CListener>(impl.ioc, *impl.context);
    const tcp::endpoint local = impl.listener->Bind(options.listenHost, options.listenPort);

    const std::string address =
        local.address().is_v6() ? "[" + local.address().to_string() + "]" : local.address().to_string();
    std::optional<uint16_t> sdkPort;
    try {
        sdkPort = CAgonesSdk::PortFromEnvironment();
    } catch (const std::invalid_argument& e) {
        throw CStartupError(e.what());
    }
    if (options.fleet.Enabled()) {
        std::string publicUrl = options.fleet.publicUrl;
        if (publicUrl.empty() && sdkPort) {
            publicUrl = CAgonesSdk::PublicUrl(*sdkPort).value_or("");
            if (publicUrl.empty()) {
                throw CStartupError("the Agones SDK on port " + std::to_string(*sdkPort) +
                                    " did not tell this game server's address; set --public-url");
            }
        }
        JoinFleet(address + ":" + std::to_string(local.port()), publicUrl);
    }
    spdlog::info("listening on http://{}:{}/ (game connection at /ws, module {}, web root {})", address, local.port(),
                 options.modulePath.string(), webRoot.empty() ? "none" : webRoot.string());
    if (sdkPort) {
        impl.agones = std::make_unique<CAgonesSdk>(impl.ioc, *sdkPort);
    }
}

void CHostServer::JoinFleet(const std::string& listening, const std::string& publicUrl)
{
    CImpl& impl = *m_impl;
    const CFleetOptions& fleet = impl.options.fleet;
    CFleetSettings settings;
    try {
        settings.redis = ParseRedisUrl(fleet.redisUrl);
    } catch (const std::invalid_argument& e) {
        throw CStartupError(e.what());
    }
    settings.world = fleet.world.empty() ? listening : fleet.world;
    settings.publicUrl = publicUrl.empty() ? "ws://" + listening + "/ws" : publicUrl;
    settings.maxUsers = impl.options.maxUsers;
    settings.seatTtl = fleet.seatTtl;
    settings.seatsPerToken = fleet.seatsPerToken;
    settings.seatsPerAddress = fleet.seatsPerAddress;
    settings.rate = fleet.rate;
    settings.burst = fleet.burst;
    settings.tokens = impl.tokens ? &*impl.tokens : nullptr;
    if (publicUrl.empty() && (listening.starts_with("0.0.0.0:") || listening.starts_with("[::]:"))) {
        spdlog::warn("players are sent to {}, which no one can reach: set --public-url", settings.publicUrl);
    }
    impl.fleet = std::make_unique<CFleet>(impl.ioc, std::move(settings), [&impl] { return impl.state->UsersOnline(); });
    impl.fleet->Start();
    impl.fleetGate = std::make_unique<CFleetGate>(*impl.fleet);
    impl.context->fleet = impl.fleetGate.get();
}

void CHostServer::EnableCompression()
{
    CImpl& impl = *m_impl;
    impl.deflate = std::make_unique<CDeflateGroup>(impl.options.compressionEpoch);
    impl.inflater = std::make_unique<CBoundedInflater>();
    impl.broadcaster = std::make_unique<CWsBroadcaster>(*impl.deflate);
    impl.state->SetBroadcaster(impl.broadcaster.get());
    impl.context->deflate = impl.deflate.get();
    impl.context->inflater = impl.inflater.get();
    const CDeflateGroup& group = *impl.deflate;
    CMetrics& metrics = impl.metrics;
    metrics.AddCounter("corvane_compression_bytes_before_total",
                       "Bytes of the server messages sent compressed, before compression.",
                       [&group] { return group.Stats().bytesBefore; });
    metrics.AddCounter("corvane_compression_bytes_after_total", "Bytes of the same messages after compression.",
                       [&group] { return group.Stats().bytesAfter; });
    metrics.AddGauge("corvane_compression_group_members",
                     "Connections sharing the compressor with history.", [&group] { return group.Members(); });
    metrics.AddCounter("corvane_compression_epochs_total",
                       "Resets of the shared compressor that let waiting connections join.",
                       [&group] { return group.Stats().epochs; });
    metrics.AddCounter("corvane_compression_uncompressed_to_members_total",
                       "Module messages sent uncompressed to members because they did not reach the whole group.",
                       [&group] { return group.Stats().uncompressedToMembers; });
    metrics.AddCounter("corvane_compression_deflates_total", "Messages deflated, with history or without.",
                       [&group] { return group.Stats().deflates; });
}

CMetrics& CHostServer::Metrics() { return m_impl->metrics; }

int CHostServer::Run()
{
    CImpl& impl = *m_impl;
    impl.WaitForSignal();
    impl.listener->Run();
    if (impl.agones) {
        impl.agones->Start();
    }
    impl.ioc.run();
    if (impl.fleet) {
        impl.fleet->Join();
    }
    impl.state->FinishModule();
    spdlog::info("stopped");
    return 0;
}
