#include "ops/StdoutPipe.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

constexpr int kStdout = 1;
constexpr unsigned kPipeBytes = 64 * 1024;

HANDLE OsHandle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

} // namespace

CStdoutPipe::CStdoutPipe()
{
    // A host started without standard output (detached from any console)
    // writes its lines nowhere; descriptor 1 must be taken before the pipe
    // could get it.
    if (OsHandle(kStdout) == INVALID_HANDLE_VALUE) {
        const int null = _open("NUL", _O_WRONLY | _O_BINARY);
        if (null >= 0 && null != kStdout) {
            _dup2(null, kStdout);
            _close(null);
        }
    }
    // Binary: the module's line ends pass through the pipe as written, and
    // the real output (in the mode it had) turns them into the console's.
    int fds[2];
    if (_pipe(fds, kPipeBytes, _O_BINARY | _O_NOINHERIT) != 0) {
        throw std::runtime_error(std::string("cannot make the standard output pipe: ") + std::strerror(errno));
    }
    std::fflush(stdout);
    const int sink = _dup(kStdout);
    if (sink < 0 || _dup2(fds[1], kStdout) < 0) {
        const int err = errno;
        _close(fds[0]);
        _close(fds[1]);
        if (sink >= 0) {
            _close(sink);
        }
        throw std::runtime_error(std::string("cannot take over standard output: ") + std::strerror(err));
    }
    _close(fds[1]);
    SetStdHandle(STD_OUTPUT_HANDLE, OsHandle(kStdout));
    m_pipeRead = fds[0];
    m_sink = sink;
}

std::size_t CStdoutPipe::Read(char* out, std::size_t size)
{
    const int n = _read(m_pipeRead, out, static_cast<unsigned>(std::min<std::size_t>(size, kPipeBytes)));
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t CStdoutPipe::Write(const char* data, std::size_t size, std::string& error)
{
    const int n = _write(m_sink, data, static_cast<unsigned>(std::min<std::size_t>(size, kPipeBytes)));
    if (n <= 0) {
        error = std::strerror(n < 0 ? errno : EIO);
        return 0;
    }
    return static_cast<std::size_t>(n);
}

void CStdoutPipe::Restore()
{
    SetStdHandle(STD_OUTPUT_HANDLE, OsHandle(m_sink));
    _dup2(m_sink, kStdout);
}
