// Fault drills with the real host: its standard output stalled or gone, the
// host killed under load and started again, a player who stops reading, a
// client that floods pings without reading, and crowds of connections that
// never log in or never finish a request.
#include "HostFixture.h"

#include "HostOptions.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// A pipe for the host's standard output; the test holds the read end.
class CPipe {
public:
    CPipe()
    {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) {
            throw std::runtime_error("pipe failed");
        }
        m_read = fds[0];
        m_write = fds[1];
    }
    ~CPipe()
    {
        CloseRead();
        CloseWrite();
    }
    CPipe(const CPipe&) = delete;
    CPipe& operator=(const CPipe&) = delete;

    int ReadEnd() const { return m_read; }
    int WriteEnd() const { return m_write; }
    void CloseRead() { Close(m_read); }
    void CloseWrite() { Close(m_write); }

    // What arrives within `timeout`, up to the first quiet moment after it.
    std::string ReadAvailable(std::chrono::milliseconds timeout)
    {
        std::string out;
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            pollfd p{m_read, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&p, 1, out.empty() ? static_cast<int>(std::max<long>(left.count(), 0)) : 50) <= 0) {
                return out;
            }
            char chunk[4096];
            const ssize_t n = ::read(m_read, chunk, sizeof chunk);
            if (n <= 0) {
                return out;
            }
            out.append(chunk, static_cast<std::size_t>(n));
        }
    }

private:
    static void Close(int& fd)
    {
        if (fd >= 0) {
            ::close(fd);
            fd = -1;
        }
    }
    int m_read = -1;
    int m_write = -1;
};

// Alternates between two cells, so that every move changes the position.
Pos Cell(int i) { return i % 2 == 0 ? Pos{3, 4} : Pos{4, 3}; }

int OpenDescriptors(pid_t pid)
{
    int n = 0;
    std::error_code ec;
    for (auto it = fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec);
         !ec && it != fs::directory_iterator(); it.increment(ec)) {
        ++n;
    }
    return n;
}

int ConnectRaw(uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
    }
    return fd;
}

void SendAll(int fd, const std::string& text)
{
    if (::send(fd, text.data(), text.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("send failed");
    }
}

// The resident memory of a process in KiB, from /proc; 0 when it is gone.
long ResidentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return 0;
}

// A game connection of the test's own, with a small receive buffer so that
// it fills fast once the test stops reading. Reads the upgrade answer and,
// with a token, logs in and reads the LoginAck.
int OpenGameConnection(uint16_t port, const std::string& token = {}, bool login = false)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        throw std::runtime_error(std::string("connect failed: ") + std::strerror(errno));
    }
    std::string request = "GET /ws HTTP/1.1\r\nHost: drill\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    std::size_t want = 0;
    if (login) {
        // Login (module 0, command 1) with the token, in a frame masked with
        // a zero key, which leaves the bytes as they are.
        const std::string body = std::string{0, 0, 1, 0, static_cast<char>(token.size())} + token;
        request += std::string{static_cast<char>(0x82), static_cast<char>(0x80 | body.size()), 0, 0, 0, 0} + body;
        want = 14;
    }
    SendAll(fd, request);
    std::string received;
    const auto deadline = Clock::now() + 5s;
    for (std::size_t head = std::string::npos; Clock::now() < deadline;) {
        head = received.find("\r\n\r\n");
        if (head != std::string::npos && received.size() >= head + 4 + want) {
            const std::string frames = received.substr(head + 4);
            // LoginAck code 0.
            if (login && frames.substr(0, 10) != std::string("\x82\x0c\x00\x00\x01\x00\x00\x00\x00\x00", 10)) {
                break;
            }
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
            return fd;
        }
        pollfd p{fd, POLLIN, 0};
        char chunk[512];
        if (::poll(&p, 1, 100) > 0) {
            const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                break;
            }
            received.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fd);
    throw std::runtime_error("no upgrade or login: " + received);
}

struct CFlood {
    bool cut = false;        // the host closed the connection
    std::size_t sent = 0;    // bytes of pings
    long peakGrowthKiB = 0;  // of the host's resident memory
};

// Sends masked pings with `payload` bytes each as fast as the host takes
// them and never reads, until the host cuts the connection, its memory grows
// by `limitKiB`, or 10 s have passed.
CFlood FloodPings(int fd, pid_t host, long baseKiB, long limitKiB, std::size_t payload)
{
    // Masked with a zero key, which leaves the payload as it is.
    const std::string ping =
        std::string{static_cast<char>(0x89), static_cast<char>(0x80 | payload), 0, 0, 0, 0} + std::string(payload, 'p');
    std::string chunk;
    while (chunk.size() < 60000) {
        chunk += ping;
    }
    CFlood flood;
    std::size_t offset = 0;
    auto nextSample = Clock::now();
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline) {
        if (Clock::now() >= nextSample) {
            flood.peakGrowthKiB = std::max(flood.peakGrowthKiB, ResidentKiB(host) - baseKiB);
            if (flood.peakGrowthKiB > limitKiB) {
                break;
            }
            nextSample = Clock::now() + 20ms;
        }
        const ssize_t n = ::send(fd, chunk.data() + offset, chunk.size() - offset, MSG_NOSIGNAL);
        if (n >= 0) {
            flood.sent += static_cast<std::size_t>(n);
            offset = (offset + static_cast<std::size_t>(n)) % chunk.size();
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 20);
        } else {
            flood.cut = true;
            break;
        }
    }
    return flood;
}

// Raises this process's descriptor limit (the host inherits it) and says
// how many connections the test can afford.
int AffordableConnections(int wanted)
{
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    return static_cast<int>(std::min<rlim_t>(static_cast<rlim_t>(wanted), limit.rlim_cur - 256));
}

} // namespace

using HostDrill = CHostFixture;

TEST_F(HostDrill, StalledStandardOutputNeverStopsTheGame)
{
    // The pipe and the host's buffer hold about 8 KiB: a few hundred of the
    // module's lines. Nothing reads the pipe until the end.
    CPipe out;
    ::fcntl(out.WriteEnd(), F_SETPIPE_SZ, 4096);
    StartHost({"--stdout-buffer", "4KiB", "--rate", "1000", "--burst", "1000"}, out.WriteEnd());
    out.CloseWrite();
    auto mover = EnterScene();
    auto watcher = EnterScene();

    std::vector<double> early, stalled;
    for (int i = 0; i < 600; ++i) {
        const double seconds = MoveRoundTrip(*mover, Cell(i));
        if (i < 40) {
            early.push_back(seconds);
        } else if (i >= 300) {
            stalled.push_back(seconds);
        }
        if (i % 50 == 0) {
            watcher->Discard();
        }
    }
    EXPECT_GT(Metric("corvane_stdout_lines_dropped_total").value_or(0), 100);
    EXPECT_LT(Median(stalled), 5 * Median(early) + 0.02) << "median before the stall " << Median(early);
    EXPECT_LT(Largest(stalled), 1.0);
    EXPECT_EQ(CountLines(m_host.Stderr(), "standard output is not being read"), 1);

    // The reader comes back: what was buffered arrives, then new lines again.
    EXPECT_NE(out.ReadAvailable(3s).find("CSvrUserNotifyHandler::OnUserLogin"), std::string::npos);
    MoveRoundTrip(*mover, Pos{9, 9});
    EXPECT_NE(out.ReadAvailable(3s).find("return 2 user poses"), std::string::npos);
}

TEST_F(HostDrill, VanishedStandardOutputLeavesTheHostAlive)
{
    CPipe out;
    StartHost({"--drain-timeout", "0"}, out.WriteEnd());
    out.CloseWrite();
    out.CloseRead();
    auto player = EnterScene();
    for (int i = 0; i < 20; ++i) {
        MoveRoundTrip(*player, Cell(i));
    }
    EXPECT_FALSE(m_host.WaitExit(0ms));
    EXPECT_EQ(Get("/healthz").status, 200);
    // The module writes its line after the answer: the last ones may still
    // be on their way through the drain.
    const auto counted = Clock::now() + 5s;
    while (Clock::now() < counted && Metric("corvane_stdout_lines_dropped_total").value_or(0) < 21) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_EQ(Metric("corvane_stdout_lines_dropped_total"), 21); // a login and 20 moves
    EXPECT_EQ(CountLines(m_host.Stderr(), "standard output is gone"), 1);
    m_host.Signal(SIGTERM);
    EXPECT_EQ(m_host.WaitExit(10s), 0);
}

TEST_F(HostDrill, KilledUnderLoadComesBackOnTheSamePortAndItsJournalReplays)
{
    const fs::path journal = m_host.Folder() / "session.journal";
    StartHost({"--record", journal.string(), "--rate", "100000", "--burst", "100000"});
    const uint16_t port = m_host.Port();
    std::vector<std::unique_ptr<CGameClient>> players;
    for (int i = 0; i < 3; ++i) {
        players.push_back(EnterScene());
    }
    // Long enough for the journal to have been written out a few times.
    const auto loadEnd = Clock::now() + 1s;
    for (int round = 0; round < 60 || Clock::now() < loadEnd; ++round) {
        for (auto& player : players) {
            player->Send(EasyDemo::kModuleId, EasyDemo::kCmdMoveTo, EncodeMoveTo(Cell(round)));
            if (round % 10 == 0) {
                player->Send(EasyDemo::kModuleId, EasyDemo::kCmdAttack, EncodeAttack(0, 0, EasyDemo::kAreaAttack));
            }
        }
        MoveRoundTrip(*players[0], Cell(round + 1));
        for (auto& player : players) {
            player->Discard();
        }
    }
    m_host.Signal(SIGKILL);
    ASSERT_EQ(m_host.WaitExit(5s), 128 + SIGKILL);
    players.clear();

    const auto restart = Clock::now();
    m_host.Start({}, -1, port);
    const double restartSeconds = std::chrono::duration<double>(Clock::now() - restart).count();
    EXPECT_EQ(m_host.Port(), port);
    EXPECT_LT(restartSeconds, 5.0);
    auto newcomer = EnterScene();
    MoveRoundTrip(*newcomer, Pos{7, 7});

    const CProgramResult replay =
        RunProgram(ReplayExecutable(), {journal.string(), "--module", ModulePath().string(), "--verify"});
    EXPECT_EQ(replay.exitCode, 0) << replay.output;
    EXPECT_NE(replay.output.find("3 logins"), std::string::npos) << replay.output;
    EXPECT_NE(replay.output.find("no difference"), std::string::npos) << replay.output;
}

TEST_F(HostDrill, PlayerWhoStopsReadingIsCutWhileOthersKeepTheirLatency)
{
    StartHost({"--send-queue", "64KiB", "--max-frame", "64KiB", "--rate", "1000", "--burst", "1000"});
    auto player = EnterScene();
    auto other = EnterScene();
    std::vector<double> before, during, after;
    for (int i = 0; i < 30; ++i) {
        before.push_back(MoveRoundTrip(*player, Cell(i)));
    }

    // Echoes of 60 KB pings pile up in the stuck client's queue.
    auto stuck = Connect(4096);
    ASSERT_EQ(stuck->Login("").code, kLoginOk);
    ASSERT_TRUE(stuck->Send(EasyDemo::kModuleId, EasyDemo::kCmdEnterScene));
    stuck->StopReading();
    const std::string big(60 * 1024, 'z');
    const auto deadline = Clock::now() + 15s;
    for (int i = 0; Clock::now() < deadline && Metric("corvane_connections_closed_total{reason=\"send_queue_full\"}") != 1;
         ++i) {
        for (int k = 0; k < 5 && stuck->Send(kHostModuleId, kCmdPing, big, 1s); ++k) {
        }
        during.push_back(MoveRoundTrip(*player, Cell(i)));
        other->Discard();
    }
    ASSERT_EQ(Metric("corvane_connections_closed_total{reason=\"send_queue_full\"}"), 1);
    EXPECT_TRUE(stuck->WaitClosed(10s));
    for (int i = 0; i < 30; ++i) {
        after.push_back(MoveRoundTrip(*player, Cell(i)));
    }
    const double base = Median(before);
    EXPECT_LT(Median(during), 5 * base + 0.02) << "median before " << base;
    EXPECT_LT(Median(after), 5 * base + 0.02) << "median before " << base;
    EXPECT_LT(Largest(during), 1.0);
}

// Each pong takes room in the send queue, so a client that pings without
// reading is cut within the bound, before and after its login alike, and
// the host's memory stays where it was.
TEST_F(HostDrill, PingFloodWithoutReadingIsCutAndMemoryStaysBounded)
{
#if defined(__SANITIZE_ADDRESS__)
    // Freed memory waits in AddressSanitizer's quarantine (256 MiB) and
    // would count as resident: keep it small, so that what is measured is
    // the memory the host holds.
    const char* asanOptions = std::getenv("ASAN_OPTIONS");
    ::setenv("ASAN_OPTIONS", ((asanOptions != nullptr ? std::string(asanOptions) + ":" : "") + "quarantine_size_mb=4").c_str(), 1);
#endif
    const fs::path tokens = m_host.Folder() / "tokens.txt";
    std::ofstream(tokens) << "drill\n";
    StartHost({"--token-file", tokens.string()});
    auto player = EnterScene("drill");
    const long baseKiB = ResidentKiB(m_host.Pid());
    ASSERT_GT(baseKiB, 0);
    // The send queue (1MiB) and what the host allocates around it; without
    // the bound the flood takes hundreds of MiB within a second.
    constexpr long kLimitKiB = 32 * 1024;

    // Empty pings (whose pongs carry no bytes at all) before the login, the
    // longest a control frame may be after it.
    for (const bool login : {false, true}) {
        SCOPED_TRACE(login ? "logged in" : "before login");
        const int fd = OpenGameConnection(m_host.Port(), "drill", login);
        const auto start = Clock::now();
        const CFlood flood = FloodPings(fd, m_host.Pid(), baseKiB, kLimitKiB, login ? 125 : 0);
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        ::close(fd);
        EXPECT_TRUE(flood.cut) << flood.sent << " bytes of pings in " << seconds << " s";
        EXPECT_LT(flood.peakGrowthKiB, kLimitKiB);
        EXPECT_LT(seconds, 9.0) << "cut by the bound, not by the login timeout";
    }
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"ping_flood\"}"), 2);
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"login_timeout\"}"), 0);

    // Memory is back, and the player never noticed.
    EXPECT_LT(ResidentKiB(m_host.Pid()) - baseKiB, kLimitKiB);
    MoveRoundTrip(*player, Pos{5, 5});
    EXPECT_EQ(Metric("corvane_users_online"), 1);
}

TEST_F(HostDrill, CrowdsThatNeverLogInOrNeverFinishARequestDoNotStopThePlayers)
{
    const int crowd = AffordableConnections(2000);
    StartHost({"--rate", "1000", "--burst", "1000"});
    auto player = EnterScene();
    std::vector<double> before, during;
    for (int i = 0; i < 20; ++i) {
        before.push_back(MoveRoundTrip(*player, Cell(i)));
    }
    const int baseline = OpenDescriptors(m_host.Pid());

    // Silent connections, requests whose header never ends, and game
    // connections that never send Login. All come from one address, so
    // the game connections past its share of pending ones are closed at
    // once.
    const std::string upgrade = "GET /ws HTTP/1.1\r\nHost: drill\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                                "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    constexpr int kGameConnections = 100;
    const int evicted = kGameConnections - static_cast<int>(CHostOptions{}.maxPendingPerAddress);
    std::vector<int> sockets;
    for (int i = 0; i < crowd; ++i) {
        sockets.push_back(ConnectRaw(m_host.Port()));
        if (i < kGameConnections) {
            SendAll(sockets.back(), upgrade);
        } else if (i % 3 == 0) {
            SendAll(sockets.back(), "GET /index.html HTTP/1.1\r\nHost: dri");
        }
        if (i % 100 == 0) {
            during.push_back(MoveRoundTrip(*player, Cell(i / 100)));
        }
    }
    // The host takes the crowd from its accept queue while the player plays.
    const auto accepted = Clock::now() + 15s;
    for (int i = 0; Clock::now() < accepted && OpenDescriptors(m_host.Pid()) < baseline + crowd - evicted; ++i) {
        during.push_back(MoveRoundTrip(*player, Cell(i)));
    }
    for (int i = 0; i < 20; ++i) {
        during.push_back(MoveRoundTrip(*player, Cell(i)));
    }
    EXPECT_GE(OpenDescriptors(m_host.Pid()), baseline + crowd * 9 / 10);
    EXPECT_LT(Median(during), 5 * Median(before) + 0.02) << "median before " << Median(before);
    EXPECT_LT(Largest(during), 1.0);

    // The game connections left are cut at the login timeout; the rest go
    // when their clients do.
    EXPECT_EQ(Metric("corvane_connections_closed_total{reason=\"pending_evicted\"}"), evicted);
    EXPECT_TRUE(WaitMetric("corvane_connections_closed_total{reason=\"login_timeout\"}", kGameConnections - evicted, 15s));
    for (int fd : sockets) {
        ::close(fd);
    }
    const auto deadline = Clock::now() + 10s;
    while (Clock::now() < deadline && OpenDescriptors(m_host.Pid()) > baseline) {
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_LE(OpenDescriptors(m_host.Pid()), baseline);
    MoveRoundTrip(*player, Pos{8, 8});
}
