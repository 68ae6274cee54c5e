#include "journal/JournalWriter.h"

#include "journal/Journal.h"
#include "ops/StartupError.h"

#include <spdlog/spdlog.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

using Journal::ERecord;
using Clock = std::chrono::steady_clock;

namespace {

// The writing thread wakes at least this often, so a killed host loses
// at most about this much of its session.
constexpr auto kFlushInterval = std::chrono::milliseconds(100);
// A batch this large is written at once.
constexpr std::size_t kBatchBytes = 256 * 1024;
// A backlog this large means the disk cannot keep up: the recording stops
// rather than take the host's memory.
constexpr std::size_t kMaxBacklog = std::size_t{64} << 20;

void PutU32(std::string& out, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

} // namespace

CJournalWriter::CJournalWriter(const std::filesystem::path& path, bool fullOutputs)
    : m_path(path.string()), m_fullOutputs(fullOutputs), m_start(Clock::now())
{
    // Binary, so that Windows keeps its bytes; unbuffered, so that every
    // write below reaches the system at once.
    m_file = std::fopen(m_path.c_str(), "wb");
    if (m_file == nullptr) {
        throw CStartupError("cannot record to " + m_path + ": " + std::strerror(errno));
    }
    std::setvbuf(m_file, nullptr, _IONBF, 0);
    Journal::CHeader header;
    header.flags = fullOutputs ? Journal::kFlagFullOutputs : 0;
    header.startMicros = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
    // The header goes out at once, so that even a host killed a moment
    // later leaves a journal.
    const std::string head = Journal::EncodeHeader(header);
    if (std::fwrite(head.data(), 1, head.size(), m_file) == head.size()) {
        m_bytesWritten = head.size();
    } else {
        Fail(std::string("write failed: ") + std::strerror(errno));
    }
    m_thread = std::thread([this] { WriteLoop(); });
}

CJournalWriter::~CJournalWriter()
{
    {
        const std::lock_guard lock(m_mutex);
        m_stopping = true;
    }
    m_wake.notify_one();
    m_thread.join();
    std::fclose(m_file);
}

void CJournalWriter::Append(ERecord type, std::string_view payload)
{
    if (m_failed.load(std::memory_order_relaxed)) {
        return;
    }
    const auto nanos = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - m_start).count());
    bool wake = false;
    bool overflow = false;
    {
        const std::lock_guard lock(m_mutex);
        overflow = m_pending.size() > kMaxBacklog;
        if (overflow) {
            std::string().swap(m_pending);
        } else {
            Journal::AppendRecord(m_pending, type, nanos, payload);
            wake = m_pending.size() >= kBatchBytes;
        }
    }
    if (overflow) {
        Fail("the disk does not keep up");
        return;
    }
    m_records.fetch_add(1, std::memory_order_relaxed);
    if (wake) {
        m_wake.notify_one();
    }
}

void CJournalWriter::AppendUser(ERecord type, uint32_t userId)
{
    m_scratch.clear();
    PutU32(m_scratch, userId);
    Append(type, m_scratch);
}

void CJournalWriter::OnStart() { Append(ERecord::Start, {}); }
void CJournalWriter::OnLogin(uint32_t userId) { AppendUser(ERecord::Login, userId); }
void CJournalWriter::OnLogout(uint32_t userId) { AppendUser(ERecord::Logout, userId); }
void CJournalWriter::OnDrop(uint32_t userId) { AppendUser(ERecord::Drop, userId); }
void CJournalWriter::OnResume(uint32_t userId) { AppendUser(ERecord::Resume, userId); }
void CJournalWriter::OnTimer(uint32_t handle) { AppendUser(ERecord::Timer, handle); }
void CJournalWriter::OnStop() { Append(ERecord::Stop, {}); }

void CJournalWriter::OnMessage(uint32_t userId, const uint8_t* data, std::size_t size)
{
    m_scratch.clear();
    PutU32(m_scratch, userId);
    m_scratch.append(reinterpret_cast<const char*>(data), size);
    Append(ERecord::Message, m_scratch);
}

void CJournalWriter::OnSend(const std::vector<uint32_t>& recipients, std::string_view bytes)
{
    m_scratch.clear();
    if (!m_fullOutputs) {
        const uint64_t hash = Journal::HashSend(recipients, bytes);
        PutU32(m_scratch, static_cast<uint32_t>(hash));
        PutU32(m_scratch, static_cast<uint32_t>(hash >> 32));
        Append(ERecord::SendHash, m_scratch);
        return;
    }
    PutU32(m_scratch, static_cast<uint32_t>(recipients.size()));
    for (uint32_t id : recipients) {
        PutU32(m_scratch, id);
    }
    m_scratch.append(bytes);
    Append(ERecord::SendFull, m_scratch);
}

void CJournalWriter::Fail(const std::string& why)
{
    if (m_failed.exchange(true)) {
        return;
    }
    spdlog::error("recording to {} stopped: {}; the game goes on", m_path, why);
}

void CJournalWriter::WriteLoop()
{
    std::string batch;
    for (;;) {
        bool last = false;
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait_for(lock, kFlushInterval, [this] { return m_stopping || m_pending.size() >= kBatchBytes; });
            batch.swap(m_pending);
            last = m_stopping;
        }
        std::size_t done = 0;
        while (done < batch.size() && !m_failed.load(std::memory_order_relaxed)) {
            errno = 0;
            const std::size_t n = std::fwrite(batch.data() + done, 1, batch.size() - done, m_file);
            done += n;
            m_bytesWritten.fetch_add(n, std::memory_order_relaxed);
            if (done < batch.size()) {
                Fail(std::string("write failed: ") + std::strerror(errno != 0 ? errno : EIO));
                break;
            }
        }
        batch.clear();
        if (last) {
            return;
        }
    }
}
