// The platform's side of the stdout drain (StdoutDrain.h): standard output
// pointed at a pipe whose reading end this holds, with the real output kept
// aside. POSIX: descriptor 1 (StdoutPipe_posix.cpp). Windows: the C
// runtime's descriptor 1 and the process's standard output handle, which a
// module with a C runtime of its own starts from (StdoutPipe_win.cpp).
#ifndef CORVANE_HOST_STDOUTPIPE_H
#define CORVANE_HOST_STDOUTPIPE_H

#include <cstddef>
#include <string>

class CStdoutPipe {
public:
    // Takes over standard output; a closed one is opened on the null
    // device first. Throws std::runtime_error naming what failed.
    CStdoutPipe();

    CStdoutPipe(const CStdoutPipe&) = delete;
    CStdoutPipe& operator=(const CStdoutPipe&) = delete;

    // Blocks for the next bytes written to standard output; 0 once the
    // pipe has ended.
    std::size_t Read(char* out, std::size_t size);
    // Writes part of `data` to the real output; 0, with the reason in
    // `error`, when it is gone.
    std::size_t Write(const char* data, std::size_t size, std::string& error);
    // Points standard output back at the real output. The pipe's only
    // writer goes with it, so Read sees the end once it has every byte.
    void Restore();

private:
    int m_pipeRead = -1;
    int m_sink = -1;
};

#endif
