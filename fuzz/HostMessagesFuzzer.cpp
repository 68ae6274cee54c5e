// The host's handling of client messages, without sockets: a few
// connections log in with the Login body they send, then their messages are
// read by header and routed by module id into the real module, started in
// the host's shared state. The checks: a Login body's token lies inside the
// body and has its announced length, only logged-in connections receive
// module messages and every one is a complete EasyDemo frame, the host's
// count of users matches the connections logged in, and once everyone has
// gone no user is left on the module's grid.
#include "FuzzCheck.h"

#include "game/HostMessages.h"
#include "game/HostProtocol.h"
#include "game/SharedState.h"
#include "game/TokenList.h"
#include "ops/Metrics.h"

#include "world/SceneGrid.h"

#include <boost/asio/io_context.hpp>
#include <spdlog/spdlog.h>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kEasyDemoId = 99;
constexpr uint32_t kMaxUsers = 3;
constexpr uint8_t kTickEvent = 0xF0;

class CLink final : public IUserLink {
public:
    void Deliver(std::shared_ptr<const std::string> message) override
    {
        FUZZ_CHECK(userId != 0, "a message for a connection that is not logged in");
        FUZZ_CHECK(message->size() >= kClientHeaderSize, "a module message shorter than its frame");
        FUZZ_CHECK((static_cast<uint8_t>((*message)[0]) | (static_cast<uint8_t>((*message)[1]) << 8)) == kEasyDemoId,
                   "a module message from an unknown module");
    }

    uint32_t userId = 0;
};

struct CHost {
    boost::asio::io_context ioc;
    CMetrics metrics;
    CTokenList tokens{{"secret", ""}};
    CSharedState state{ioc, metrics, kMaxUsers, &tokens};
    std::array<CLink, 4> links;
    uint32_t lastUserId = 0;
};

CHost* g_host = nullptr;

void EndConnection(CLink& link)
{
    if (link.userId != 0) {
        g_host->state.Logout(link.userId);
        link.userId = 0;
    }
}

void Login(CLink& link, const uint8_t* data, std::size_t size)
{
    const std::optional<CClientHeader> header = ReadClientHeader(data, size);
    if (header && header->moduleId == kHostModuleId && header->cmd == kCmdResume) {
        const std::optional<CResumeRequest> resume = ParseResume(data + kClientHeaderSize, size - kClientHeaderSize);
        const bool wellFormed =
            size == kClientHeaderSize + 1 + kResumeTokenSize + 4 && data[kClientHeaderSize] == kResumeTokenSize;
        FUZZ_CHECK(resume.has_value() == wellFormed, "a Resume body read other than its layout says");
        FUZZ_CHECK(!resume || resume->token.size() == kResumeTokenSize, "a resume token of the wrong length");
        return; // closed: no token was issued to this connection
    }
    if (!header || header->moduleId != kHostModuleId || header->cmd != kCmdLogin) {
        return; // closed: the first message must be Login or Resume
    }
    const uint8_t* body = data + kClientHeaderSize;
    const std::size_t bodySize = size - kClientHeaderSize;
    const std::optional<std::string_view> token = ParseLoginToken(body, bodySize);
    if (!token) {
        FUZZ_CHECK(bodySize == 0 || bodySize - 1 < body[0], "a well-formed Login body refused");
        return;
    }
    FUZZ_CHECK(bodySize >= 1 && token->size() == body[0], "token length differs from its count byte");
    FUZZ_CHECK(token->data() == reinterpret_cast<const char*>(body + 1), "token does not follow its count byte");
    const CLoginResult result = g_host->state.Login(link, *token);
    if (result.code != kLoginOk) {
        FUZZ_CHECK(result.code == kLoginUnauthorized || result.code == kLoginServerFull, "unexpected login code");
        FUZZ_CHECK(result.userId == 0, "a refused login got a user id");
        return;
    }
    FUZZ_CHECK(result.userId > g_host->lastUserId, "a user id reused");
    g_host->lastUserId = result.userId;
    link.userId = result.userId;
    g_host->state.ReportLogin(link.userId);
}

void Receive(CLink& link, const uint8_t* data, std::size_t size)
{
    const std::optional<CClientHeader> header = ReadClientHeader(data, size);
    if (!header) {
        return; // dropped as too short
    }
    if (header->moduleId != kHostModuleId) {
        g_host->state.DeliverToModule(link.userId, data, size);
        return;
    }
    if (header->cmd == kCmdLogin || header->cmd == kCmdLogout) {
        EndConnection(link);
    }
}

std::size_t LoggedIn()
{
    std::size_t n = 0;
    for (const CLink& link : g_host->links) {
        n += link.userId != 0 ? 1 : 0;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    spdlog::set_level(spdlog::level::off);
    // The module prints a line on every login, logout and move.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::abort();
    }
    static CHost host;
    g_host = &host;
    FUZZ_CHECK(host.state.StartModule(&KVServerStart), "the module did not start");
    // Ticks come from the input only, never from the clock.
    host.state.StopTimers();
    return 0;
}

// An input is a list of events: a byte whose low two bits pick a connection,
// then a length byte and that many bytes of message. An event byte of F0 or
// above fires the module's timer instead: a tick costs as much as hundreds of
// messages, so it stays rare.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    CInputReader in(data, size);
    while (!in.Empty()) {
        const uint8_t event = in.Byte();
        if (event >= kTickEvent) {
            // The module's one timer, the first the host handed out.
            g_host->state.FireTimer(1);
        } else {
            CLink& link = g_host->links[event & 3];
            const std::vector<uint8_t> msg = in.Bytes(in.Byte());
            if (link.userId == 0) {
                Login(link, msg.data(), msg.size());
            } else {
                Receive(link, msg.data(), msg.size());
            }
        }
        g_host->ioc.poll();
        FUZZ_CHECK(g_host->state.UsersOnline() == LoggedIn(), "the host's user count drifted");
    }
    for (CLink& link : g_host->links) {
        EndConnection(link);
    }
    g_host->ioc.poll();
    FUZZ_CHECK(g_host->state.UsersOnline() == 0, "users online after every connection ended");
    std::vector<uint32_t> left;
    CSceneGrid::Instance().GetUserIDs(left);
    FUZZ_CHECK(left.empty(), "users left on the grid after every connection ended");
    return 0;
}
