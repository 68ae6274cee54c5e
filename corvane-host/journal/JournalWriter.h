// Records a session into a journal file (Journal.h) for corvane-replay.
// The event loop only appends to a buffer; a thread of its own writes the
// buffer out in batches, so a slow disk never holds up the game. A write
// error, or a disk so slow that the backlog outgrows its bound, stops the
// recording with one log line; the game goes on.
#ifndef CORVANE_HOST_JOURNALWRITER_H
#define CORVANE_HOST_JOURNALWRITER_H

#include "game/SessionObserver.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

namespace Journal {
enum class ERecord : uint8_t;
}

class CJournalWriter final : public ISessionObserver {
public:
    // Creates or truncates the file. Throws CStartupError when it cannot.
    // With fullOutputs every send keeps its recipients and bytes, otherwise
    // a 64-bit hash of them.
    CJournalWriter(const std::filesystem::path& path, bool fullOutputs);
    // Writes out what is buffered.
    ~CJournalWriter();

    CJournalWriter(const CJournalWriter&) = delete;
    CJournalWriter& operator=(const CJournalWriter&) = delete;

    void OnStart() override;
    void OnLogin(uint32_t userId) override;
    void OnLogout(uint32_t userId) override;
    void OnDrop(uint32_t userId) override;
    void OnResume(uint32_t userId) override;
    void OnMessage(uint32_t userId, const uint8_t* data, std::size_t size) override;
    void OnTimer(uint32_t handle) override;
    void OnSend(const std::vector<uint32_t>& recipients, std::string_view bytes) override;
    void OnStop() override;

    uint64_t Records() const { return m_records.load(std::memory_order_relaxed); }
    uint64_t BytesWritten() const { return m_bytesWritten.load(std::memory_order_relaxed); }
    // 1 once the recording has stopped for an error.
    uint64_t Failures() const { return m_failed.load(std::memory_order_relaxed) ? 1 : 0; }

private:
    void Append(Journal::ERecord type, std::string_view payload);
    void AppendUser(Journal::ERecord type, uint32_t userId);
    void WriteLoop();
    void Fail(const std::string& why);

    std::string m_path;
    std::FILE* m_file = nullptr;
    bool m_fullOutputs;
    std::chrono::steady_clock::time_point m_start;

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::string m_pending; // guarded by m_mutex
    bool m_stopping = false; // guarded by m_mutex

    std::atomic<bool> m_failed{false};
    std::atomic<uint64_t> m_records{0};
    std::atomic<uint64_t> m_bytesWritten{0};
    std::string m_scratch; // the event loop's payload buffer
    std::thread m_thread;
};

#endif
