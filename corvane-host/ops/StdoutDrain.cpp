#include "ops/StdoutDrain.h"

#include "ops/StdoutPipe.h"

#include <spdlog/spdlog.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace {

// A line longer than this is passed on in pieces.
constexpr std::size_t kMaxLine = 64 * 1024;
constexpr auto kFinishTimeout = std::chrono::seconds(1);

} // namespace

// Shared by both threads and the owner, so that a thread left blocked on a
// stalled output at exit never touches freed memory.
struct CStdoutDrain::CShared {
    CStdoutPipe pipe;
    std::size_t capacity = 0;

    std::mutex mutex;
    std::condition_variable wake;
    std::deque<std::string> lines; // guarded by mutex
    std::size_t bufferedBytes = 0; // guarded by mutex
    bool readerDone = false;       // guarded by mutex
    bool writing = false;          // guarded by mutex: a line is being written
    bool dropping = false;         // guarded by mutex: the current stall was reported

    std::atomic<uint64_t> written{0};
    std::atomic<uint64_t> dropped{0};
    std::atomic<bool> sinkGone{false};

    void Offer(std::string line)
    {
        {
            const std::lock_guard lock(mutex);
            if (sinkGone.load() || bufferedBytes + line.size() > capacity) {
                dropped.fetch_add(1, std::memory_order_relaxed);
                if (!dropping && !sinkGone.load()) {
                    dropping = true;
                    spdlog::warn("standard output is not being read; dropping the module's lines until it is");
                }
                return;
            }
            bufferedBytes += line.size();
            lines.push_back(std::move(line));
        }
        wake.notify_one();
    }

    void ReadLoop()
    {
        std::string partial;
        char chunk[16 * 1024];
        for (;;) {
            const std::size_t n = pipe.Read(chunk, sizeof chunk);
            if (n == 0) {
                break;
            }
            partial.append(chunk, n);
            std::size_t begin = 0;
            for (std::size_t end; (end = partial.find('\n', begin)) != std::string::npos; begin = end + 1) {
                Offer(partial.substr(begin, end + 1 - begin));
            }
            partial.erase(0, begin);
            if (partial.size() >= kMaxLine) {
                Offer(std::move(partial));
                partial.clear();
            }
        }
        if (!partial.empty()) {
            Offer(std::move(partial));
        }
        {
            const std::lock_guard lock(mutex);
            readerDone = true;
        }
        wake.notify_all();
    }

    void WriteLoop()
    {
        for (;;) {
            std::string line;
            {
                std::unique_lock lock(mutex);
                wake.wait(lock, [this] { return !lines.empty() || readerDone; });
                if (lines.empty()) {
                    return;
                }
                line = std::move(lines.front());
                lines.pop_front();
                writing = true;
            }
            const bool ok = WriteAll(line);
            {
                const std::lock_guard lock(mutex);
                bufferedBytes -= line.size();
                writing = false;
                if (ok) {
                    dropping = false;
                }
            }
            wake.notify_all();
            if (ok) {
                written.fetch_add(1, std::memory_order_relaxed);
            } else {
                dropped.fetch_add(1, std::memory_order_relaxed);
            }
        }
    }

    bool WriteAll(const std::string& line)
    {
        if (sinkGone.load()) {
            return false;
        }
        std::size_t done = 0;
        while (done < line.size()) {
            std::string error;
            const std::size_t n = pipe.Write(line.data() + done, line.size() - done, error);
            if (n == 0) {
                if (!sinkGone.exchange(true)) {
                    spdlog::warn("standard output is gone ({}); the module's lines are dropped from now on", error);
                }
                return false;
            }
            done += n;
        }
        return true;
    }
};

CStdoutDrain::CStdoutDrain(std::size_t bufferBytes) : m_shared(std::make_shared<CShared>())
{
    m_shared->capacity = bufferBytes;
    std::thread([shared = m_shared] { shared->ReadLoop(); }).detach();
    std::thread([shared = m_shared] { shared->WriteLoop(); }).detach();
}

CStdoutDrain::~CStdoutDrain()
{
    std::fflush(stdout);
    CShared& shared = *m_shared;
    // Standard output holds the pipe's only write end: pointing it back at
    // the real output lets the reader take every byte written so far and
    // then see the end. Waiting for that end, rather than for an empty pipe,
    // covers the bytes the reader has taken but not yet passed on.
    shared.pipe.Restore();
    // A stalled output must not hold up the exit: lines still buffered
    // after the timeout are lost with the process.
    std::unique_lock lock(shared.mutex);
    shared.wake.wait_for(lock, kFinishTimeout, [&shared] {
        return shared.sinkGone.load() || (shared.readerDone && shared.lines.empty() && !shared.writing);
    });
}

uint64_t CStdoutDrain::LinesWritten() const { return m_shared->written.load(std::memory_order_relaxed); }
uint64_t CStdoutDrain::LinesDropped() const { return m_shared->dropped.load(std::memory_order_relaxed); }
