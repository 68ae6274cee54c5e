// The periodic tick, a move and an area attack on a full world: 100
// server-driven objects and 155 users crowded around (50, 50).
//
// `tick_bench --ticks N` runs N ticks and nothing else, for counting
// instructions: valgrind --tool=callgrind --toggle-collect='CSvrTimerHandler::OnTimer()'
#include "archive/Archive.h"
#include "host/Globals.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A host that delivers nowhere: it only counts, so the library's own work
// is what gets measured.
class CBenchHost final : public IServerHost,
                         public IServiceManager,
                         public ITimerManager,
                         public IUserNotifier,
                         public IServiceContext,
                         public IMessageSender {
public:
    IServiceManager* GetServiceManager() override { return this; }
    void* Reserved_1() override { return nullptr; }
    ITimerManager* GetTimerManager() override { return this; }
    IUserNotifier* GetUserNotifier() override { return this; }
    bool RegisterService(uint32_t, IService* service) override
    {
        m_service = service;
        return true;
    }
    uint32_t AddTimer(ITimerHandler* handler, uint32_t) override
    {
        timer = handler;
        return 1;
    }
    bool AddHandler(IUserNotifyHandler* handler) override
    {
        notify = handler;
        return true;
    }
    bool RegisterModule(IModule* registered) override
    {
        module = registered;
        return true;
    }
    uint32_t GetCurrentUserId() override { return currentUser; }
    bool LockTargets(uint8_t) override { return true; }
    void GetTargets(const uint32_t** ids, uint32_t* count) override
    {
        *ids = m_ids;
        *count = m_count;
    }
    void SetTargets(const uint32_t* ids, uint32_t count) override
    {
        m_ids = ids;
        m_count = count;
    }
    void UnlockTargets() override {}
    bool Send(const void*, uint32_t size) override
    {
        bytesSent += size;
        return true;
    }

    void Start()
    {
        KVServerStart(this);
        m_service->Init(this);
        module->SetSender(this);
    }
    bool Deliver(uint32_t user, const std::string& msg)
    {
        currentUser = user;
        return module->OnRecv(reinterpret_cast<const uint8_t*>(msg.data()), static_cast<int32_t>(msg.size()));
    }

    ITimerHandler* timer = nullptr;
    IUserNotifyHandler* notify = nullptr;
    IModule* module = nullptr;
    uint32_t currentUser = 0;
    uint64_t bytesSent = 0;

private:
    IService* m_service = nullptr;
    const uint32_t* m_ids = nullptr;
    uint32_t m_count = 0;
};

constexpr uint32_t kUsers = 155;

std::string MoveMsg(int16_t x, int16_t y)
{
    std::string msg;
    COutArchive ar(msg);
    ar << uint16_t{99} << uint16_t{2} << Pos{x, y};
    return msg;
}

CBenchHost& World()
{
    static CBenchHost host = [] {
        CBenchHost h;
        h.Start();
        h.timer->OnTimer();
        for (uint32_t id = 1; id <= kUsers; ++id) {
            h.notify->OnUserLogin(id);
            // Spread over the 16 x 16 square that an area attack from (50, 50) covers.
            const auto i = static_cast<int16_t>(id - 1);
            h.Deliver(id, MoveMsg(static_cast<int16_t>(42 + i % 16), static_cast<int16_t>(42 + i / 16)));
        }
        h.Deliver(1, MoveMsg(50, 50));
        return h;
    }();
    return host;
}

void BM_Tick(benchmark::State& state)
{
    CBenchHost& host = World();
    const uint64_t before = host.bytesSent;
    for (auto _ : state) {
        host.timer->OnTimer();
    }
    state.counters["bytes_per_tick"] = benchmark::Counter(static_cast<double>(host.bytesSent - before)
                                                          / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_Tick);

void BM_Move(benchmark::State& state)
{
    CBenchHost& host = World();
    const std::string there = MoveMsg(51, 50);
    const std::string back = MoveMsg(50, 50);
    bool flip = false;
    // Each move prints its line: keep writing it, but to /dev/null.
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    const int devNull = open("/dev/null", O_WRONLY);
    dup2(devNull, STDOUT_FILENO);
    for (auto _ : state) {
        host.Deliver(1, flip ? back : there);
        flip = !flip;
    }
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(devNull);
    close(saved);
}
BENCHMARK(BM_Move);

void BM_AreaAttack(benchmark::State& state)
{
    CBenchHost& host = World();
    std::string msg;
    COutArchive ar(msg);
    ar << uint16_t{99} << uint16_t{3} << uint32_t{0} << uint8_t{0} << int32_t{1};
    for (auto _ : state) {
        host.Deliver(1, msg);
    }
}
BENCHMARK(BM_AreaAttack);

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--ticks") == 0) {
        CBenchHost& host = World();
        for (long n = std::strtol(argv[2], nullptr, 10); n > 0; --n) {
            host.timer->OnTimer();
        }
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
