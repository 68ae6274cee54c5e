// The fleet's registry scripts against a real redis-server that the
// benchmark starts on a free loopback port. Besides the round trip seen by
// the caller, each benchmark reports `redis_us`: the time Redis itself spent
// per call (INFO commandstats), which is what bounds a shared Redis.
//
//   build/default/bin/fleet_redis_bench
#include "fleet/Fleet.h"
#include "fleet/RedisClient.h"

#include <benchmark/benchmark.h>

#include <csignal>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

uint16_t FreePort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

struct CRedis {
    pid_t pid = -1;
    std::unique_ptr<CRedisClient> client;
    std::string shas[4];

    CRedis()
    {
        const uint16_t port = FreePort();
        const std::string portText = std::to_string(port);
        pid = ::fork();
        if (pid == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::execl("/usr/bin/redis-server", "redis-server", "--port", portText.c_str(), "--bind", "127.0.0.1",
                    "--save", "", "--appendonly", "no", "--loglevel", "warning", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        CRedisAddress address;
        address.host = "127.0.0.1";
        address.port = port;
        for (int attempt = 0; !client; ++attempt) {
            try {
                client = std::make_unique<CRedisClient>(address, std::chrono::milliseconds(500),
                                                        std::chrono::milliseconds(5000));
            } catch (const CRedisError&) {
                if (attempt > 100) {
                    throw;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        for (int i = 0; i < 4; ++i) {
            shas[i] = client->Command({"SCRIPT", "LOAD", FleetScript(static_cast<EFleetScript>(i))}).text;
        }
    }

    ~CRedis()
    {
        client.reset();
        ::kill(pid, SIGTERM);
        ::waitpid(pid, nullptr, 0);
    }

    CRedisReply Eval(EFleetScript script, std::vector<std::string> args)
    {
        args.insert(args.begin(), {"EVALSHA", shas[static_cast<int>(script)], "0"});
        CRedisReply reply = client->Command(args);
        if (reply.IsError()) {
            throw std::runtime_error(reply.text);
        }
        return reply;
    }

    void Beat(const std::string& world, int users)
    {
        Eval(EFleetScript::Register, {world, "instance-" + world, "ws://" + world + "/ws", std::to_string(users), "155",
                                      "0.1.0", "0", "3000", "0"});
    }

    // A fresh registry of `worlds` worlds with `users` players each.
    void Fill(int worlds, int users)
    {
        client->Command({"FLUSHALL"});
        for (int i = 0; i < worlds; ++i) {
            Beat("world-" + std::to_string(i), users);
        }
        client->Command({"CONFIG", "RESETSTAT"});
    }

    // Microseconds Redis spent per call of `command` since the last Fill.
    double RedisMicrosPerCall(const std::string& command = "evalsha")
    {
        const std::string info = client->Command({"INFO", "commandstats"}).text;
        const std::size_t at = info.find("cmdstat_" + command + ":");
        const std::size_t per = info.find("usec_per_call=", at);
        return at == std::string::npos || per == std::string::npos ? 0 : std::stod(info.substr(per + 14));
    }
};

CRedis& Redis()
{
    static CRedis redis;
    return redis;
}

void BM_Heartbeat(benchmark::State& state)
{
    CRedis& redis = Redis();
    const int worlds = static_cast<int>(state.range(0));
    redis.Fill(worlds, 100);
    int i = 0;
    for (auto _ : state) {
        redis.Beat("world-" + std::to_string(i++ % worlds), 100);
    }
    state.counters["redis_us"] = redis.RedisMicrosPerCall();
}
BENCHMARK(BM_Heartbeat)->Arg(1000);

// Every world has room, so every call reserves a seat in the fullest.
void BM_Matchmake(benchmark::State& state)
{
    CRedis& redis = Redis();
    redis.Fill(static_cast<int>(state.range(0)), 100);
    const std::string token(32, 'a');
    for (auto _ : state) {
        benchmark::DoNotOptimize(redis.Eval(EFleetScript::Matchmake, {token, "15000", "bench", "1000000"}));
    }
    state.counters["redis_us"] = redis.RedisMicrosPerCall();
}
BENCHMARK(BM_Matchmake)->Arg(10)->Arg(100)->Arg(1000);

// A seat that is not there: the cost of a refused login.
void BM_ConsumeMissing(benchmark::State& state)
{
    CRedis& redis = Redis();
    redis.Fill(1, 100);
    const std::string token(32, 'b');
    for (auto _ : state) {
        benchmark::DoNotOptimize(redis.Eval(EFleetScript::Consume, {"world-0", token, "instance-world-0"}));
    }
    state.counters["redis_us"] = redis.RedisMicrosPerCall();
}
BENCHMARK(BM_ConsumeMissing);

void BM_ListWorlds(benchmark::State& state)
{
    CRedis& redis = Redis();
    redis.Fill(static_cast<int>(state.range(0)), 100);
    for (auto _ : state) {
        benchmark::DoNotOptimize(ReadWorlds(*redis.client, std::chrono::milliseconds(3000)));
    }
    state.counters["redis_us"] = redis.RedisMicrosPerCall("hgetall") + redis.RedisMicrosPerCall("time");
}
BENCHMARK(BM_ListWorlds)->Arg(10)->Arg(1000);

} // namespace

BENCHMARK_MAIN();
