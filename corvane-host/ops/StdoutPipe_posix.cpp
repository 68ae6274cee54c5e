#include "ops/StdoutPipe.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <unistd.h>

CStdoutPipe::CStdoutPipe()
{
    // A host started with standard output closed writes its lines nowhere;
    // the descriptor must be taken before the pipe could get number 1.
    if (::fcntl(STDOUT_FILENO, F_GETFD) < 0) {
        const int null = ::open("/dev/null", O_WRONLY);
        if (null >= 0 && null != STDOUT_FILENO) {
            ::dup2(null, STDOUT_FILENO);
            ::close(null);
        }
    }
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        throw std::runtime_error(std::string("cannot make the standard output pipe: ") + std::strerror(errno));
    }
    std::fflush(stdout);
    const int sink = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (sink < 0 || ::dup2(fds[1], STDOUT_FILENO) < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        if (sink >= 0) {
            ::close(sink);
        }
        throw std::runtime_error(std::string("cannot take over standard output: ") + std::strerror(err));
    }
    ::close(fds[1]);
    m_pipeRead = fds[0];
    m_sink = sink;
}

std::size_t CStdoutPipe::Read(char* out, std::size_t size)
{
    for (;;) {
        const ssize_t n = ::read(m_pipeRead, out, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
}

std::size_t CStdoutPipe::Write(const char* data, std::size_t size, std::string& error)
{
    for (;;) {
        const ssize_t n = ::write(m_sink, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            // With SIGPIPE ignored a vanished reader shows up here.
            error = std::strerror(n < 0 ? errno : EIO);
            return 0;
        }
        return static_cast<std::size_t>(n);
    }
}

void CStdoutPipe::Restore() { ::dup2(m_sink, STDOUT_FILENO); }
