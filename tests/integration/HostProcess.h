// Runs the real corvane-host as a child process for one test: on a free
// loopback port, with its output in files of a private folder. The child
// dies with the test process, and the destructor kills what is left.
#ifndef CORVANE_TESTS_INTEGRATION_HOSTPROCESS_H
#define CORVANE_TESTS_INTEGRATION_HOSTPROCESS_H

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

using namespace std::chrono_literals;

// Built by this tree; the paths come from the build system.
std::filesystem::path HostExecutable();
std::filesystem::path ModulePath();
std::filesystem::path ReplayExecutable();
std::filesystem::path BotExecutable();
// The module built with one deliberate change: its moves land one column
// further right.
std::filesystem::path ShiftedMovesModulePath();

// A loopback port that nothing listens on right now.
uint16_t FreeLoopbackPort();

// Runs a program to its end: its exit code, its standard output and error
// together, and the most memory it held.
struct CProgramResult {
    int exitCode = -1;
    std::string output;
    long maxRssKb = 0;
};
CProgramResult RunProgram(const std::filesystem::path& exe, const std::vector<std::string>& args);

// Count of the lines of `text` holding `needle`.
int CountLines(const std::string& text, const std::string& needle);

class CHostProcess {
public:
    // Another program can be run the same way (Spawn only).
    explicit CHostProcess(std::filesystem::path executable = HostExecutable());
    ~CHostProcess();

    CHostProcess(const CHostProcess&) = delete;
    CHostProcess& operator=(const CHostProcess&) = delete;

    // Starts the host with `args` as given (no defaults added) and returns at
    // once. A second start needs the first to have ended. Standard output
    // goes to `stdoutFd` when one is given, else to a file.
    void Spawn(const std::vector<std::string>& args, int stdoutFd = -1);

    // Starts the host on a free port (or `port`) with the real module and the
    // extra arguments, and waits until /healthz answers. Throws when it does not.
    void Start(const std::vector<std::string>& extraArgs = {}, int stdoutFd = -1, uint16_t port = 0);

    uint16_t Port() const { return m_port; }
    pid_t Pid() const { return m_pid; }
    const std::filesystem::path& Folder() const { return m_folder; }

    void Signal(int signal) const;
    // The exit code (128 + n after signal n), or nothing if still running.
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);

    std::string Stdout() const;
    std::string Stderr() const;

private:
    void Kill();

    std::filesystem::path m_executable;
    std::filesystem::path m_folder;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    std::optional<int> m_exitCode;
};

#endif
