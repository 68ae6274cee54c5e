// Keeps the module's standard output from ever stopping the game. The
// module writes a line, flushed, on every login, logout and move, on the
// event loop thread; written straight to a pipe whose reader stalls, that
// write would block every player. Start points standard output at a pipe
// of our own (StdoutPipe.h): one thread drains it always into a bounded
// buffer, another feeds the buffer to the real standard output. When that stalls or is gone,
// whole lines are dropped and counted instead; the module writes exactly
// what it wrote before.
#ifndef CORVANE_HOST_STDOUTDRAIN_H
#define CORVANE_HOST_STDOUTDRAIN_H

#include <cstddef>
#include <cstdint>
#include <memory>

class CStdoutDrain {
public:
    // Takes over standard output. Throws std::runtime_error when the
    // pipe cannot be made.
    explicit CStdoutDrain(std::size_t bufferBytes = std::size_t{1} << 20);
    // Waits a moment for the buffered lines to reach the real output, then
    // leaves the threads to end with the process if it is stalled.
    ~CStdoutDrain();

    CStdoutDrain(const CStdoutDrain&) = delete;
    CStdoutDrain& operator=(const CStdoutDrain&) = delete;

    uint64_t LinesWritten() const;
    uint64_t LinesDropped() const;

private:
    struct CShared;
    std::shared_ptr<CShared> m_shared;
};

#endif
