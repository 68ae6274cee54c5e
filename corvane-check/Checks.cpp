#include "Checks.h"

#include "ElfExports.h"
#include "RecordingHost.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

// Longest message body the length sweeps try, and how much random traffic
// each check sends.
constexpr int32_t kMaxLength = 300;
constexpr int kRandomMessages = 2000;
constexpr int kTrafficSteps = 4000;
constexpr int kThreads = 4;
constexpr int kThreadSteps = 1500;
constexpr std::size_t kBreadcrumbSize = 512;

struct SEnv {
    std::string path;
    SCheckOptions options;
    char* breadcrumb = nullptr;
};

struct SOutcome {
    ECheckResult result = ECheckResult::Pass;
    std::string detail;
};

SOutcome Pass(std::string detail) { return {ECheckResult::Pass, std::move(detail)}; }
SOutcome Fail(std::string detail) { return {ECheckResult::Fail, std::move(detail)}; }

std::vector<uint8_t> Message(uint16_t moduleId, uint16_t cmd, std::size_t bodyLength, std::mt19937& rng)
{
    std::vector<uint8_t> msg(4 + bodyLength);
    msg[0] = static_cast<uint8_t>(moduleId);
    msg[1] = static_cast<uint8_t>(moduleId >> 8);
    msg[2] = static_cast<uint8_t>(cmd);
    msg[3] = static_cast<uint8_t>(cmd >> 8);
    for (std::size_t i = 4; i < msg.size(); ++i) {
        msg[i] = static_cast<uint8_t>(rng());
    }
    return msg;
}

// Loads the module into this (child) process and starts it; empty on
// success, otherwise why it could not be.
std::string LoadAndStart(const SEnv& env, CRecordingHost& host, int32_t* result)
{
    void* handle = dlopen(env.path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        return std::string("cannot load: ") + (why ? why : "unknown error");
    }
    auto start = reinterpret_cast<PFN_KVServerStart>(dlsym(handle, KV_SERVER_START_NAME));
    if (start == nullptr) {
        return "does not export " KV_SERVER_START_NAME;
    }
    *result = host.Start(start);
    return {};
}

// A failure naming the first violation of these kinds, if there was one.
std::optional<SOutcome> Faults(CRecordingHost& host, std::initializer_list<EViolation> kinds)
{
    const std::size_t n = host.ViolationCount(kinds);
    if (n == 0) {
        return std::nullopt;
    }
    return Fail(host.ViolationText(kinds) + (n > 1 ? " (" + std::to_string(n) + " faults)" : ""));
}

// Random traffic from a range of users: logins, logouts, messages of the
// logged-in users to every module, and timer ticks.
class CTraffic {
public:
    CTraffic(CRecordingHost& host, uint32_t seed, uint32_t firstUser, uint32_t users)
        : m_host(host), m_rng(seed), m_firstUser(firstUser), m_loggedIn(users, false)
    {
    }

    void Step()
    {
        const auto roll = m_rng() % 100;
        const std::size_t user = m_rng() % m_loggedIn.size();
        const uint32_t userId = m_firstUser + static_cast<uint32_t>(user);
        if (roll < 8) {
            m_host.Note("OnTimer (random traffic)");
            m_host.FireTimers();
            ++ticks;
        } else if (roll < 20 || !m_loggedIn[user]) {
            m_host.Note(m_loggedIn[user] ? "OnUserLogout of user %u (random traffic)"
                                         : "OnUserLogin of user %u (random traffic)",
                        userId);
            if (m_loggedIn[user]) {
                m_host.Logout(userId);
                ++logouts;
            } else {
                m_host.Login(userId);
                ++logins;
            }
            m_loggedIn[user] = !m_loggedIn[user];
        } else {
            const std::size_t module = m_rng() % m_host.modules.size();
            // Mostly low command numbers, where a module's handlers are.
            const auto cmd = static_cast<uint16_t>(m_rng() % 4 == 0 ? m_rng() % 64 : 1 + m_rng() % 8);
            const std::vector<uint8_t> msg = Message(m_host.modules[module].id, cmd, m_rng() % 24, m_rng);
            m_host.Note("OnRecv of module %u from user %u: cmd %u, %zu bytes (random traffic)",
                        m_host.modules[module].id, userId, cmd, msg.size());
            m_host.Deliver(module, userId, msg.data(), static_cast<int32_t>(msg.size()));
            ++messages;
        }
    }

    void LogoutAll()
    {
        for (std::size_t user = 0; user < m_loggedIn.size(); ++user) {
            if (m_loggedIn[user]) {
                m_host.Logout(m_firstUser + static_cast<uint32_t>(user));
                m_loggedIn[user] = false;
                ++logouts;
            }
        }
    }

    std::string Summary() const
    {
        return std::to_string(messages) + " messages, " + std::to_string(ticks) + " ticks, " +
               std::to_string(logins) + " logins, " + std::to_string(logouts) + " logouts";
    }

    int messages = 0;
    int ticks = 0;
    int logins = 0;
    int logouts = 0;

private:
    CRecordingHost& m_host;
    std::mt19937 m_rng;
    uint32_t m_firstUser;
    std::vector<bool> m_loggedIn;
};

// A message placed against a page that may not be read: after its last
// byte, or before its first.
class CGuardedBuffer {
public:
    CGuardedBuffer() : m_page(static_cast<std::size_t>(sysconf(_SC_PAGESIZE)))
    {
        void* base = mmap(nullptr, 3 * m_page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) {
            throw std::runtime_error(std::string("mmap: ") + std::strerror(errno));
        }
        m_base = static_cast<uint8_t*>(base);
    }
    ~CGuardedBuffer() { munmap(m_base, 3 * m_page); }
    CGuardedBuffer(const CGuardedBuffer&) = delete;
    CGuardedBuffer& operator=(const CGuardedBuffer&) = delete;

    // Copies msg so that it ends at the guard page (atEnd) or starts right
    // after the leading one, and makes it read-only.
    const uint8_t* Place(const std::vector<uint8_t>& msg, bool atEnd)
    {
        uint8_t* page = m_base + m_page;
        mprotect(page, m_page, PROT_READ | PROT_WRITE);
        uint8_t* at = atEnd ? page + m_page - msg.size() : page;
        std::copy(msg.begin(), msg.end(), at);
        mprotect(page, m_page, PROT_READ);
        return at;
    }

private:
    std::size_t m_page;
    uint8_t* m_base = nullptr;
};

SOutcome CheckStart(const SEnv&, CRecordingHost& host, int32_t code)
{
    if (auto failed = Faults(host, {EViolation::Exception})) {
        return *failed;
    }
    std::string seen = "returned " + std::to_string(code) + "; services";
    for (const auto& service : host.services) {
        seen += " " + std::to_string(service.first);
    }
    seen += "; timers";
    for (const auto& timer : host.timers) {
        seen += " " + std::to_string(timer.second);
    }
    seen += host.notifyHandlers.empty() ? "; no login/logout handler" : "; login/logout handler";
    if (code != 0) {
        return Fail("KVServerStart " + seen);
    }
    if (host.services.empty()) {
        return Fail("registered no service: " + seen);
    }
    if (host.timers.empty()) {
        return Fail("registered no timer: " + seen);
    }
    for (const auto& timer : host.timers) {
        if (timer.second == 0) {
            return Fail("registered a timer with interval 0: " + seen);
        }
    }
    return Pass(seen);
}

SOutcome CheckModules(const SEnv&, CRecordingHost& host, int32_t)
{
    if (auto failed = Faults(host, {EViolation::Exception})) {
        return *failed;
    }
    for (std::size_t i = 0; i < host.initResults.size(); ++i) {
        if (!host.initResults[i]) {
            return Fail("Init of service " + std::to_string(host.services[i].first) + " returned false");
        }
    }
    if (host.modules.empty()) {
        return Fail("Init registered no module");
    }
    std::string ids;
    std::set<uint16_t> seen;
    for (std::size_t i = 0; i < host.modules.size(); ++i) {
        const uint16_t id = host.modules[i].id;
        ids += (ids.empty() ? "" : ", ") + std::to_string(id);
        if (host.ModuleId(i) != id) {
            return Fail("module " + std::to_string(id) + " reported another id the second time");
        }
        if (id == 0) {
            return Fail("a module registered with id 0, which hosts keep for their own messages");
        }
        if (!seen.insert(id).second) {
            return Fail("two modules registered with id " + std::to_string(id) + " (ids: " + ids + ")");
        }
    }
    return Pass("modules " + ids);
}

SOutcome CheckSender(const SEnv&, CRecordingHost& host, int32_t)
{
    if (auto failed = Faults(host, {EViolation::Sender})) {
        return *failed;
    }
    for (std::size_t i = 0; i < host.modules.size(); ++i) {
        const std::string name = "module " + std::to_string(host.modules[i].id);
        CRecordingSender* first = host.modules[i].sender;
        CRecordingSender* second = host.NewSender();
        if (host.SetSender(i, second) != first) {
            return Fail(name + ": SetSender did not return the sender stored before");
        }
        if (host.SetSender(i, nullptr) != second) {
            return Fail(name + ": SetSender(null) did not return the sender stored before");
        }
        if (host.SetSender(i, first) != nullptr) {
            return Fail(name + ": SetSender after SetSender(null) did not return null");
        }
    }
    if (auto failed = Faults(host, {EViolation::Exception})) {
        return *failed;
    }
    return Pass("returns null first, then the sender stored before, for " + std::to_string(host.modules.size()) +
                " module(s)");
}

SOutcome CheckMessages(const SEnv& env, CRecordingHost& host, int32_t)
{
    std::mt19937 rng(env.options.seed);
    const uint32_t user = 1;
    host.Login(user);
    uint64_t calls = 0;
    uint64_t accepted = 0;
    auto deliver = [&](std::size_t module, const std::vector<uint8_t>& msg, int32_t length, const char* what) {
        host.Note("OnRecv of module %u: %s, %d bytes", host.modules[module].id, what, length);
        // Never a null pointer, also for an empty message.
        static const uint8_t kEmpty[1] = {};
        accepted += host.Deliver(module, user, msg.empty() ? kEmpty : msg.data(), length) ? 1 : 0;
        ++calls;
    };
    for (std::size_t module = 0; module < host.modules.size(); ++module) {
        const uint16_t id = host.modules[module].id;
        for (uint32_t cmd = 0; cmd <= 0xFFFF; ++cmd) {
            deliver(module, Message(id, static_cast<uint16_t>(cmd), 0, rng), 4, "every command, header only");
            deliver(module, Message(id, static_cast<uint16_t>(cmd), 8, rng), 12, "every command, 8 random bytes");
        }
        for (uint16_t cmd = 0; cmd <= 32; ++cmd) {
            for (int32_t length = 0; length <= kMaxLength; ++length) {
                std::vector<uint8_t> msg = Message(id, cmd, static_cast<std::size_t>(std::max(length - 4, 0)), rng);
                msg.resize(static_cast<std::size_t>(length));
                deliver(module, msg, length, "every length");
            }
        }
        for (int i = 0; i < kRandomMessages; ++i) {
            std::vector<uint8_t> msg(rng() % (kMaxLength + 1));
            std::generate(msg.begin(), msg.end(), [&] { return static_cast<uint8_t>(rng()); });
            deliver(module, msg, static_cast<int32_t>(msg.size()), "random bytes");
        }
    }
    host.Logout(user);
    if (auto failed = Faults(host, {EViolation::Exception})) {
        return *failed;
    }
    return Pass(std::to_string(calls) + " messages (every command; lengths 0-" + std::to_string(kMaxLength) +
                "; random bytes), " + std::to_string(accepted) + " accepted");
}

SOutcome CheckBounds(const SEnv& env, CRecordingHost& host, int32_t)
{
    std::mt19937 rng(env.options.seed);
    CGuardedBuffer buffer;
    const uint32_t user = 1;
    host.Login(user);
    uint64_t calls = 0;
    for (std::size_t module = 0; module < host.modules.size(); ++module) {
        const uint16_t id = host.modules[module].id;
        for (uint16_t cmd = 0; cmd <= 16; ++cmd) {
            for (int32_t length = 0; length <= kMaxLength; ++length) {
                std::vector<uint8_t> msg = Message(id, cmd, static_cast<std::size_t>(std::max(length - 4, 0)), rng);
                msg.resize(static_cast<std::size_t>(length));
                for (const bool atEnd : {true, false}) {
                    const uint8_t* data = buffer.Place(msg, atEnd);
                    host.Note("OnRecv of module %u: cmd %u, %d bytes %s", id, cmd, length,
                              atEnd ? "ending right before an unreadable page"
                                    : "starting right after an unreadable page");
                    host.Deliver(module, user, data, length);
                    ++calls;
                }
            }
        }
    }
    host.Logout(user);
    if (auto failed = Faults(host, {EViolation::Exception})) {
        return *failed;
    }
    return Pass(std::to_string(calls) + " messages of 0-" + std::to_string(kMaxLength) +
                " bytes between unreadable pages: no read outside");
}

SOutcome CheckTargets(const SEnv& env, CRecordingHost& host, int32_t)
{
    CTraffic traffic(host, env.options.seed, 1, 6);
    for (int i = 0; i < kTrafficSteps / 2; ++i) {
        traffic.Step();
    }
    // A host may refuse the list; the module must then leave it alone.
    host.SetGrantTargets(false);
    for (int i = 0; i < kTrafficSteps / 4; ++i) {
        traffic.Step();
    }
    host.SetGrantTargets(true);
    for (std::size_t module = 0; module < host.modules.size(); ++module) {
        host.SetSender(module, nullptr);
    }
    for (int i = 0; i < kTrafficSteps / 4; ++i) {
        traffic.Step();
    }
    traffic.LogoutAll();
    if (auto failed = Faults(host, {EViolation::Targets, EViolation::SendNoSender})) {
        return *failed;
    }
    const SHostStats stats = host.Stats();
    return Pass(std::to_string(stats.locks) + " locks balanced and restored, " + std::to_string(stats.refusedLocks) +
                " refused; " + std::to_string(stats.sends) + " sends (" + std::to_string(stats.sendsToList) +
                " to a list), none without a sender");
}

SOutcome CheckInterleave(const SEnv& env, CRecordingHost& host, int32_t)
{
    CTraffic traffic(host, env.options.seed, 1, 8);
    for (int i = 0; i < kTrafficSteps; ++i) {
        traffic.Step();
    }
    traffic.LogoutAll();
    if (auto failed = Faults(host, {EViolation::Exception})) {
        return *failed;
    }
    return Pass(traffic.Summary() + " from 8 users");
}

SOutcome CheckThreads(const SEnv& env, CRecordingHost& host, int32_t)
{
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&host, &env, t] {
            CTraffic traffic(host, env.options.seed + static_cast<uint32_t>(t), 1 + static_cast<uint32_t>(t) * 1000,
                             4);
            for (int i = 0; i < kThreadSteps; ++i) {
                traffic.Step();
            }
            traffic.LogoutAll();
        });
    }
    for (std::thread& worker : workers) {
        worker.join();
    }
    if (auto failed = Faults(host, {EViolation::Exception, EViolation::Targets})) {
        return *failed;
    }
    return Pass(std::to_string(kThreads) + " threads x " + std::to_string(kThreadSteps) +
                " steps of messages, ticks, logins and logouts");
}

std::string SignalText(int sig)
{
    const char* name = sigabbrev_np(sig);
    return std::string("SIG") + (name ? name : std::to_string(sig).c_str());
}

// The line of the child's standard error that says most: a sanitizer's or
// the runtime's error line when there is one, otherwise the first.
std::string TellingLine(FILE* file)
{
    std::rewind(file);
    std::string first;
    char line[256];
    while (std::fgets(line, sizeof line, file) != nullptr) {
        std::string text(line);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) {
            text.pop_back();
        }
        if (text.find("ERROR:") != std::string::npos || text.find("terminate called") != std::string::npos) {
            return text;
        }
        if (first.empty() && text.find_first_not_of(" =-") != std::string::npos) {
            first = text;
        }
    }
    return first;
}

// A check of a started module: the host it was started with and what
// KVServerStart returned.
using FCheck = SOutcome (*)(const SEnv&, CRecordingHost&, int32_t);

SOutcome CheckExports(const std::string& path);

// Reads what the child has written so far, without waiting. False once the
// pipe has no writer left.
bool Drain(int fd, std::string& report)
{
    char chunk[1024];
    for (;;) {
        const ssize_t n = read(fd, chunk, sizeof chunk);
        if (n > 0) {
            report.append(chunk, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return false;
        } else if (errno != EINTR) {
            return true;
        }
    }
}

// Runs the check in a child process of its own process group with its stdout
// discarded: the exports check reads the file there, every other check loads
// and starts the module first. A crash, an exit or a hang becomes a failed
// result. At the end the whole group is killed, so that neither a hung child
// nor a process the module forked (which may hold the pipe open) outlives
// the check or holds up the checker.
SOutcome RunIsolated(const SEnv& base, FCheck check)
{
    void* shared = mmap(nullptr, kBreadcrumbSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) {
        return Fail(std::string("mmap: ") + std::strerror(errno));
    }
    auto* breadcrumb = static_cast<char*>(shared);
    breadcrumb[0] = '\0';
    FILE* errors = std::tmpfile();
    int fds[2];
    if (errors == nullptr || pipe(fds) != 0) {
        munmap(shared, kBreadcrumbSize);
        return Fail(std::string("cannot set up a child process: ") + std::strerror(errno));
    }
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        close(fds[0]);
        const int devNull = open("/dev/null", O_WRONLY);
        dup2(devNull, STDOUT_FILENO);
        dup2(fileno(errors), STDERR_FILENO);
        SEnv env = base;
        env.breadcrumb = breadcrumb;
        SOutcome outcome;
        if (check == nullptr) {
            outcome = CheckExports(env.path);
        } else {
            CRecordingHost host(breadcrumb, kBreadcrumbSize);
            int32_t code = -1;
            const std::string error = LoadAndStart(env, host, &code);
            outcome = error.empty() ? check(env, host, code) : Fail(error);
        }
        const std::string report = std::to_string(static_cast<int>(outcome.result)) + outcome.detail;
        for (std::size_t done = 0; done < report.size();) {
            const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        // No exit handlers: the module's and the test runner's are not ours.
        _exit(0);
    }
    close(fds[1]);
    SOutcome outcome = Fail("cannot start a child process");
    if (pid > 0) {
        // Also here: the kill at the end must find the group even if the
        // child has not run yet.
        setpgid(pid, pid);
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
        std::string report;
        bool timedOut = false;
        bool pipeOpen = true;
        const auto deadline = std::chrono::steady_clock::now() + base.options.timeout;
        for (;;) {
            // Exited, but not yet reaped: its pid and group stay ours to kill.
            siginfo_t info{};
            const bool exited = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                                info.si_pid == pid;
            if (pipeOpen) {
                pipeOpen = Drain(fds[0], report);
            }
            if (exited) {
                break;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                                    std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                timedOut = true;
                break;
            }
            // The pipe wakes us for the report; the exit is seen within a slice.
            pollfd p{pipeOpen ? fds[0] : -1, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left.count(), 20)));
        }
        kill(-pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        const std::string during = breadcrumb[0] != '\0' ? std::string(" during ") + breadcrumb : std::string();
        const std::string said = TellingLine(errors);
        const std::string stderrText = said.empty() ? std::string() : " (stderr: " + said + ")";
        if (timedOut) {
            outcome = Fail("did not finish within " + std::to_string(base.options.timeout.count() / 1000) +
                           " s (hang or deadlock?)" + during);
        } else if (WIFSIGNALED(status)) {
            outcome = Fail("crashed with " + SignalText(WTERMSIG(status)) + during + stderrText);
        } else if (!report.empty() && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
            outcome.result = static_cast<ECheckResult>(report[0] - '0');
            outcome.detail = report.substr(1);
        } else {
            outcome = Fail("the module ended the process with exit code " +
                           std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + during + stderrText);
        }
    }
    close(fds[0]);
    std::fclose(errors);
    munmap(shared, kBreadcrumbSize);
    return outcome;
}

SOutcome CheckExports(const std::string& path)
{
    std::vector<std::string> names;
    try {
        names = ReadElfExports(path);
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    const bool hasEntry = std::find(names.begin(), names.end(), KV_SERVER_START_NAME) != names.end();
    if (hasEntry && names.size() == 1) {
        return Pass("exports " KV_SERVER_START_NAME " alone, with C linkage");
    }
    if (!hasEntry) {
        for (const std::string& name : names) {
            if (name.rfind("_Z", 0) == 0 && name.find(KV_SERVER_START_NAME) != std::string::npos) {
                return Fail(KV_SERVER_START_NAME " has C++ linkage (exported as " + name + "): declare it extern \"C\"");
            }
        }
        return Fail("does not export " KV_SERVER_START_NAME);
    }
    // Plain names first: those are what the author wrote.
    std::stable_partition(names.begin(), names.end(), [](const std::string& name) { return name.rfind("_Z", 0) != 0; });
    std::string others;
    std::size_t shown = 0;
    for (const std::string& name : names) {
        if (name == KV_SERVER_START_NAME) {
            continue;
        }
        if (shown++ < 3) {
            others += (others.empty() ? "" : ", ") + name;
        }
    }
    if (shown > 3) {
        others += " and " + std::to_string(shown - 3) + " more";
    }
    return Fail("exports " + std::to_string(names.size() - 1) + " more symbol(s) besides " KV_SERVER_START_NAME ": " +
                others);
}

struct SCheck {
    const char* name;
    FCheck run; // null for the exports, read from the file without loading it
};

const SCheck kChecks[] = {
    {"exports", nullptr},      {"start", CheckStart},   {"modules", CheckModules},
    {"sender", CheckSender},   {"messages", CheckMessages}, {"bounds", CheckBounds},
    {"targets", CheckTargets}, {"interleave", CheckInterleave}, {"threads", CheckThreads},
};

} // namespace

const std::vector<std::string>& CheckNames()
{
    static const std::vector<std::string> names = [] {
        std::vector<std::string> all;
        for (const SCheck& check : kChecks) {
            all.emplace_back(check.name);
        }
        return all;
    }();
    return names;
}

std::vector<SCheckResult> RunChecks(const std::string& modulePath, const SCheckOptions& options)
{
    SEnv env;
    env.path = modulePath;
    env.options = options;
    std::vector<SCheckResult> results;
    bool started = true;
    for (const SCheck& check : kChecks) {
        const std::string name = check.name;
        if (!options.only.empty() && std::find(options.only.begin(), options.only.end(), name) == options.only.end()) {
            continue;
        }
        SCheckResult result{name, ECheckResult::Skip, {}};
        if (name == "threads" && !options.threadSafe) {
            result.detail = "the module does not say that it serialises its entry points (--thread-safe)";
        } else if (check.run != nullptr && name != "start" && !started) {
            result.detail = "start-up failed";
        } else {
            const SOutcome outcome = RunIsolated(env, check.run);
            result.result = outcome.result;
            result.detail = outcome.detail;
            if (name == "start") {
                started = outcome.result == ECheckResult::Pass;
            }
        }
        results.push_back(std::move(result));
    }
    return results;
}
