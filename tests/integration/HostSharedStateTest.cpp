// The host's side of the module contract, driven by a fake module: start-up
// order, logins, routing, target lists, and when logouts are reported.
#include "game/SharedState.h"
#include "game/TokenList.h"
#include "ops/Metrics.h"

#include <gtest/gtest.h>

#include <boost/asio/io_context.hpp>
#include <spdlog/spdlog.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

constexpr uint16_t kModuleId = 42;

std::vector<std::string>* g_log = nullptr;

void Log(const std::string& line) { g_log->push_back(line); }

class CFakeModule final : public IModule {
public:
    bool OnRecv(const uint8_t* data, int32_t length) override
    {
        Log("OnRecv " + std::string(reinterpret_cast<const char*>(data) + 4, static_cast<std::size_t>(length) - 4));
        return onRecv ? onRecv() : true;
    }
    IMessageSender* SetSender(IMessageSender* newSender) override
    {
        IMessageSender* previous = sender;
        sender = newSender;
        return previous;
    }
    uint16_t GetModuleId() override { return id; }

    uint16_t id = kModuleId;
    IMessageSender* sender = nullptr;
    std::function<bool()> onRecv;
};

class CFakeService final : public IService {
public:
    bool Init(IServiceContext* ctx) override
    {
        context = ctx;
        Log("Init");
        for (IModule* module : modules) {
            registered.push_back(ctx->RegisterModule(module));
        }
        return true;
    }
    bool Uninit(void*) override { return true; }

    std::vector<IModule*> modules;
    std::vector<bool> registered;
    IServiceContext* context = nullptr;
};

class CFakeNotify final : public IUserNotifyHandler {
public:
    void OnUserLogin(uint32_t userId) override { Log("login " + std::to_string(userId)); }
    void OnUserLogout(uint32_t userId) override { Log("logout " + std::to_string(userId)); }
};

class CFakeTimer final : public ITimerHandler {
public:
    void OnTimer() override
    {
        Log("tick");
        if (onTimer) {
            onTimer();
        }
        Log("tick done");
    }
    std::function<void()> onTimer;
};

class CFakeLink final : public IUserLink {
public:
    void Deliver(std::shared_ptr<const std::string> message) override
    {
        messages.push_back(message);
        if (onDeliver) {
            onDeliver();
        }
    }
    std::vector<std::shared_ptr<const std::string>> messages;
    std::function<void()> onDeliver;
};

CFakeService* g_service = nullptr;
CFakeNotify* g_notify = nullptr;
CFakeTimer* g_timer = nullptr;

int32_t FakeStart(IServerHost* host)
{
    Log("start");
    host->GetServiceManager()->RegisterService(7, g_service);
    host->GetTimerManager()->AddTimer(g_timer, 1000);
    host->GetUserNotifier()->AddHandler(g_notify);
    return 0;
}

class SharedState : public ::testing::Test {
protected:
    void SetUp() override
    {
        spdlog::set_level(spdlog::level::warn);
        g_log = &m_log;
        g_service = &m_service;
        g_notify = &m_notify;
        g_timer = &m_timer;
        m_service.modules = {&m_module};
    }

    void Start(uint32_t maxUsers = 155, const CTokenList* tokens = nullptr)
    {
        m_state = std::make_unique<CSharedState>(m_ioc, m_metrics, maxUsers, tokens);
        ASSERT_TRUE(m_state->StartModule(&FakeStart));
        m_log.clear();
    }

    uint32_t LogIn(CFakeLink& link)
    {
        const CLoginResult result = m_state->Login(link, "");
        EXPECT_EQ(result.code, kLoginOk);
        m_state->ReportLogin(result.userId);
        return result.userId;
    }

    // A message from `userId` to the fake module.
    bool Deliver(uint32_t userId, const std::string& body = "")
    {
        std::string message{static_cast<char>(kModuleId), 0, 1, 0};
        message += body;
        return m_state->DeliverToModule(userId, reinterpret_cast<const uint8_t*>(message.data()), message.size());
    }

    void Send(const std::string& text) { m_module.sender->Send(text.data(), static_cast<uint32_t>(text.size())); }

    std::vector<std::string> m_log;
    CFakeModule m_module;
    CFakeService m_service;
    CFakeNotify m_notify;
    CFakeTimer m_timer;
    boost::asio::io_context m_ioc;
    CMetrics m_metrics;
    std::unique_ptr<CSharedState> m_state;
};

} // namespace

TEST_F(SharedState, StartRunsEntryThenInitThenGivesTheSender)
{
    m_state = std::make_unique<CSharedState>(m_ioc, m_metrics, 155, nullptr);
    ASSERT_TRUE(m_state->StartModule(&FakeStart));
    EXPECT_EQ(m_log, (std::vector<std::string>{"start", "Init"}));
    EXPECT_NE(m_service.context, nullptr);
    EXPECT_EQ(m_service.registered, std::vector<bool>{true});
    EXPECT_NE(m_module.sender, nullptr);
    EXPECT_TRUE(m_state->Started());
}

TEST_F(SharedState, ModuleIdZeroAndTakenIdsAreRefused)
{
    CFakeModule zero;
    zero.id = 0;
    CFakeModule twin;
    m_service.modules = {&m_module, &zero, &twin};
    Start();
    EXPECT_EQ(m_service.registered, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(zero.sender, nullptr);
    EXPECT_EQ(twin.sender, nullptr);
}

TEST_F(SharedState, LoginsGetIdsInOrderUpToTheCap)
{
    Start(2);
    CFakeLink a, b, c;
    EXPECT_EQ(LogIn(a), 1u);
    EXPECT_EQ(LogIn(b), 2u);
    EXPECT_EQ(m_state->Login(c, "").code, kLoginServerFull);
    m_state->Logout(1);
    m_state->Logout(1);
    EXPECT_EQ(LogIn(c), 3u);
    EXPECT_EQ(m_log, (std::vector<std::string>{"login 1", "login 2", "logout 1", "login 3"}));
    EXPECT_EQ(m_state->UsersOnline(), 2u);
}

TEST_F(SharedState, IdsWrapSkippingZeroAndUsersOnline)
{
    Start(4);
    CFakeLink a, b, c, d, e;
    EXPECT_EQ(LogIn(a), 1u);
    EXPECT_EQ(LogIn(b), 2u);
    m_state->SetNextUserId(0xFFFFFFFEu);
    EXPECT_EQ(LogIn(c), 0xFFFFFFFEu);
    EXPECT_EQ(LogIn(d), 0xFFFFFFFFu);
    m_state->Logout(0xFFFFFFFEu);
    EXPECT_EQ(LogIn(e), 3u); // past 0, and past 1 and 2 still online
    m_state->Logout(1);
    m_state->Logout(3);
    m_state->SetNextUserId(0xFFFFFFFFu);
    CFakeLink f, g;
    EXPECT_EQ(LogIn(f), 1u); // 0xFFFFFFFF is online, 1 is free again
    EXPECT_EQ(LogIn(g), 3u);
    EXPECT_EQ(m_state->UsersOnline(), 4u);
}

TEST_F(SharedState, TokensAreCheckedBeforeTheCap)
{
    const CTokenList tokens({"good"});
    Start(1, &tokens);
    CFakeLink a, b;
    EXPECT_EQ(m_state->Login(a, "bad").code, kLoginUnauthorized);
    EXPECT_EQ(m_state->Login(a, "good").code, kLoginOk);
    EXPECT_EQ(m_state->Login(b, "bad").code, kLoginUnauthorized);
    EXPECT_EQ(m_state->Login(b, "good").code, kLoginServerFull);
}

TEST_F(SharedState, ReplyGoesToTheSenderOfTheMessage)
{
    Start();
    CFakeLink a, b;
    const uint32_t idA = LogIn(a);
    LogIn(b);
    m_module.onRecv = [&] {
        EXPECT_EQ(m_service.context->GetCurrentUserId(), idA);
        Send("reply");
        return true;
    };
    EXPECT_TRUE(Deliver(idA, "hello"));
    ASSERT_EQ(a.messages.size(), 1u);
    EXPECT_EQ(*a.messages[0], "reply");
    EXPECT_TRUE(b.messages.empty());
    EXPECT_EQ(m_service.context->GetCurrentUserId(), 0u);
}

TEST_F(SharedState, TargetListReachesListedUsersOnlineWithOneSharedBuffer)
{
    Start();
    CFakeLink a, b, c;
    LogIn(a);
    LogIn(b);
    const uint32_t idC = LogIn(c);
    const uint32_t everyone[] = {1, 2, 99};
    const uint32_t onlyB[] = {2};

    m_module.onRecv = [&] {
        IServiceContext& ctx = *m_service.context;
        const uint32_t* ids = nullptr;
        uint32_t count = 7;
        EXPECT_TRUE(ctx.LockTargets(0));
        ctx.GetTargets(&ids, &count);
        EXPECT_EQ(ids, nullptr);
        EXPECT_EQ(count, 0u);
        ctx.SetTargets(everyone, 3);
        Send("all");

        // A nested broadcast replaces the list and restores it.
        EXPECT_TRUE(ctx.LockTargets(0));
        ctx.GetTargets(&ids, &count);
        EXPECT_EQ(ids, everyone);
        EXPECT_EQ(count, 3u);
        ctx.SetTargets(onlyB, 1);
        Send("b");
        ctx.SetTargets(ids, count);
        ctx.UnlockTargets();
        Send("all again");

        ctx.SetTargets(nullptr, 0);
        ctx.UnlockTargets();
        Send("me");
        return true;
    };
    Deliver(idC);

    ASSERT_EQ(a.messages.size(), 2u);
    ASSERT_EQ(b.messages.size(), 3u);
    ASSERT_EQ(c.messages.size(), 1u);
    EXPECT_EQ(a.messages[0], b.messages[0]) << "one buffer for every recipient";
    EXPECT_EQ(*b.messages[1], "b");
    EXPECT_EQ(*a.messages[1], "all again");
    EXPECT_EQ(*c.messages[0], "me");
}

// A broadcaster gets each send once, with the links of the recipients
// online in the list's order, duplicates kept, and the links get nothing
// directly.
TEST_F(SharedState, ABroadcasterGetsEachSendWithAllItsRecipients)
{
    struct CRecorder final : IBroadcaster {
        void Broadcast(std::span<IUserLink* const> links, const std::shared_ptr<const std::string>& message) override
        {
            sends.emplace_back(std::vector<IUserLink*>(links.begin(), links.end()), *message);
        }
        std::vector<std::pair<std::vector<IUserLink*>, std::string>> sends;
    } recorder;
    Start();
    m_state->SetBroadcaster(&recorder);
    CFakeLink a, b, c;
    const uint32_t idA = LogIn(a);
    const uint32_t idB = LogIn(b);
    const uint32_t idC = LogIn(c);
    m_module.onRecv = [&] {
        IServiceContext& ctx = *m_service.context;
        const uint32_t list[] = {idB, 99, idA, idB};
        ctx.LockTargets(0);
        ctx.SetTargets(list, 4);
        Send("all");
        ctx.SetTargets(nullptr, 0);
        ctx.UnlockTargets();
        Send("me");
        return true;
    };
    Deliver(idC);
    ASSERT_EQ(recorder.sends.size(), 2u);
    EXPECT_EQ(recorder.sends[0].first, (std::vector<IUserLink*>{&b, &a, &b}));
    EXPECT_EQ(recorder.sends[0].second, "all");
    EXPECT_EQ(recorder.sends[1].first, std::vector<IUserLink*>{&c});
    EXPECT_TRUE(a.messages.empty() && b.messages.empty() && c.messages.empty());
}

TEST_F(SharedState, EmptyListOrNoCurrentUserReachesNoOneAndIsCounted)
{
    Start();
    CFakeLink a;
    const uint32_t id = LogIn(a);
    m_module.onRecv = [&] {
        m_service.context->LockTargets(0);
        m_service.context->SetTargets(nullptr, 0);
        Send("nobody");
        m_service.context->UnlockTargets();
        return true;
    };
    Deliver(id);
    m_timer.onTimer = [&] { Send("tick outside a lock"); };
    m_state->FireTimer(1);
    EXPECT_TRUE(a.messages.empty());
    EXPECT_EQ(m_metrics.Dropped("no_recipient"), 2u);
}

TEST_F(SharedState, ListsOutsideTheLockAndLocksLeftOpenDoNotSteerLaterSends)
{
    Start();
    CFakeLink a, b;
    const uint32_t idA = LogIn(a);
    LogIn(b);
    const uint32_t onlyB[] = {2};
    m_service.context->SetTargets(onlyB, 1); // not holding the list: ignored
    m_module.onRecv = [&] {
        Send("first");
        m_service.context->LockTargets(0);
        m_service.context->SetTargets(onlyB, 1);
        return true; // returns holding the list
    };
    Deliver(idA);
    m_module.onRecv = [&] {
        Send("second");
        return true;
    };
    Deliver(idA);
    ASSERT_EQ(a.messages.size(), 2u);
    EXPECT_TRUE(b.messages.empty());
}

TEST_F(SharedState, LogoutDuringAModuleCallIsReportedAfterItReturns)
{
    Start();
    CFakeLink a;
    const uint32_t id = LogIn(a);
    const uint32_t list[] = {1};
    // The link gives up inside Send, as a full send queue does.
    a.onDeliver = [&] { m_state->Logout(id); };
    m_timer.onTimer = [&] {
        m_service.context->LockTargets(0);
        m_service.context->SetTargets(list, 1);
        Send("tick");
        Send("no longer online");
        m_service.context->SetTargets(nullptr, 0);
        m_service.context->UnlockTargets();
    };
    m_log.clear();
    m_state->FireTimer(1);
    EXPECT_EQ(m_log, (std::vector<std::string>{"tick", "tick done"}));
    m_ioc.poll();
    EXPECT_EQ(m_log, (std::vector<std::string>{"tick", "tick done", "logout 1"}));
    EXPECT_EQ(a.messages.size(), 1u);
    EXPECT_EQ(m_state->UsersOnline(), 0u);
}

TEST_F(SharedState, UnknownModulesFailuresAndThrowsAreCounted)
{
    Start();
    CFakeLink a;
    const uint32_t id = LogIn(a);
    const uint8_t toNobody[] = {7, 0, 1, 0};
    EXPECT_FALSE(m_state->DeliverToModule(id, toNobody, sizeof toNobody));
    EXPECT_EQ(m_metrics.Dropped("unknown_module"), 1u);

    m_module.onRecv = [] { return false; };
    EXPECT_TRUE(Deliver(id));
    m_module.onRecv = []() -> bool { throw std::runtime_error("boom"); };
    EXPECT_TRUE(Deliver(id));
    const std::string text = m_metrics.Render(1, 0);
    EXPECT_NE(text.find("corvane_recv_failures_total{module=\"42\"} 2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("corvane_messages_received_total{module=\"42\"} 2\n"), std::string::npos) << text;
    EXPECT_EQ(m_service.context->GetCurrentUserId(), 0u);
}
