#include "HostProcess.h"

#include "GameClient.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

fs::path HostExecutable() { return CORVANE_HOST_EXE; }
fs::path ModulePath() { return CORVANE_MODULE_PATH; }
fs::path ReplayExecutable() { return CORVANE_REPLAY_EXE; }
fs::path BotExecutable() { return CORVANE_BOT_EXE; }
fs::path ShiftedMovesModulePath() { return CORVANE_SHIFTED_MOVES_MODULE; }

uint16_t FreeLoopbackPort()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        throw std::runtime_error("socket() failed");
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0
        || ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("cannot find a free port");
    }
    ::close(fd);
    return ntohs(addr.sin_port);
}

int CountLines(const std::string& text, const std::string& needle)
{
    std::istringstream in(text);
    int n = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.find(needle) != std::string::npos) {
            ++n;
        }
    }
    return n;
}

CProgramResult RunProgram(const fs::path& exe, const std::vector<std::string>& args)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> argvStrings{exe.string()};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::dup2(fds[1], STDOUT_FILENO) < 0 || ::dup2(fds[1], STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    CProgramResult result;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fds[0], chunk, sizeof chunk)) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        if (n > 0) {
            result.output.append(chunk, static_cast<std::size_t>(n));
        }
    }
    ::close(fds[0]);
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.maxRssKb = usage.ru_maxrss;
    return result;
}

namespace {

std::string ReadFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

} // namespace

CHostProcess::CHostProcess(fs::path executable) : m_executable(std::move(executable))
{
    std::string pattern = (fs::temp_directory_path() / "corvane-host-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    m_folder = pattern;
}

CHostProcess::~CHostProcess()
{
    Kill();
    std::error_code ec;
    fs::remove_all(m_folder, ec);
}

void CHostProcess::Spawn(const std::vector<std::string>& args, int stdoutFd)
{
    if (m_pid > 0 && !m_exitCode) {
        throw std::logic_error("the host is still running");
    }
    m_exitCode.reset();

    // Everything the child needs is prepared before fork: between fork and
    // exec it makes only async-signal-safe calls.
    const std::string exe = m_executable.string();
    std::vector<std::string> argvStrings{exe};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& arg : argvStrings) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const std::string outPath = (m_folder / "stdout.txt").string();
    const std::string errPath = (m_folder / "stderr.txt").string();
    const pid_t parent = ::getpid();

    const pid_t pid = ::fork();
    if (pid < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);
        }
        const int out = stdoutFd >= 0 ? stdoutFd : ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0 || ::dup2(out, STDOUT_FILENO) < 0 || ::dup2(err, STDERR_FILENO) < 0) {
            ::_exit(127);
        }
        ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    m_pid = pid;
}

void CHostProcess::Start(const std::vector<std::string>& extraArgs, int stdoutFd, uint16_t port)
{
    // Another program may take the port between the probe and the bind;
    // then the host says so and exits 2, and the next port is tried.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = port != 0 ? port : FreeLoopbackPort();
        std::vector<std::string> args{"--listen", "127.0.0.1:" + std::to_string(m_port), "--module",
                                      ModulePath().string()};
        args.insert(args.end(), extraArgs.begin(), extraArgs.end());
        Spawn(args, stdoutFd);

        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (std::chrono::steady_clock::now() < deadline) {
            if (const auto code = WaitExit(0ms)) {
                if (*code == 2 && Stderr().find("in use") != std::string::npos) {
                    break;
                }
                throw std::runtime_error("corvane-host exited with " + std::to_string(*code) + ": " + Stderr());
            }
            try {
                if (CorvaneClient::HttpGet("127.0.0.1", m_port, "/healthz", 1s).status == 200) {
                    return;
                }
            } catch (const CorvaneClient::CClientError&) {
                // Not listening yet.
            }
            std::this_thread::sleep_for(20ms);
        }
        if (!m_exitCode) {
            throw std::runtime_error("corvane-host did not become healthy: " + Stderr());
        }
    }
    throw std::runtime_error("no free port found for corvane-host");
}

void CHostProcess::Signal(int signal) const
{
    if (m_pid > 0 && !m_exitCode) {
        ::kill(m_pid, signal);
    }
}

std::optional<int> CHostProcess::WaitExit(std::chrono::milliseconds timeout)
{
    if (m_exitCode || m_pid <= 0) {
        return m_exitCode;
    }
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(m_pid, &status, WNOHANG);
        if (done == m_pid) {
            m_exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return m_exitCode;
        }
        if (done < 0 || std::chrono::steady_clock::now() >= deadline) {
            return std::nullopt;
        }
        std::this_thread::sleep_for(5ms);
    }
}

void CHostProcess::Kill()
{
    if (m_pid <= 0 || m_exitCode) {
        return;
    }
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
    m_exitCode = 128 + SIGKILL;
}

std::string CHostProcess::Stdout() const { return ReadFile(m_folder / "stdout.txt"); }
std::string CHostProcess::Stderr() const { return ReadFile(m_folder / "stderr.txt"); }
