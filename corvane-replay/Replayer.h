// Drives a freshly loaded module through the host interfaces exactly as a
// journal says the recorded host did: the same calls in the same order, the
// same user ids and timer handles. The host's own shared state does the
// routing, so a send reaches in the replay whom it reached in the session.
#ifndef CORVANE_REPLAY_REPLAYER_H
#define CORVANE_REPLAY_REPLAYER_H

#include "game/SessionObserver.h"
#include "journal/Journal.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <iosfwd>
#include <optional>
#include <set>
#include <string>
#include <vector>

class CSharedState;

struct CReplayOptions {
    std::filesystem::path journal;
    std::filesystem::path module;
    bool verify = false;
    std::optional<uint64_t> until; // the last record to replay
};

// Exit codes of corvane-replay.
inline constexpr int kReplayOk = 0;
inline constexpr int kReplayDifferent = 1;
inline constexpr int kReplayUnusable = 2; // bad arguments, journal or module

class CReplayer final : public ISessionObserver {
public:
    CReplayer(CReplayOptions options, std::ostream& out);

    // Replays the journal; the report goes to `out`. Returns an exit code.
    // Throws Journal::CJournalError or CStartupError for a journal or a
    // module that cannot be used.
    int Run();

    void OnStart() override {}
    void OnLogin(uint32_t) override {}
    void OnLogout(uint32_t userId) override { m_loggedOut = userId; }
    void OnDrop(uint32_t) override {}
    void OnResume(uint32_t) override {}
    void OnMessage(uint32_t, const uint8_t*, std::size_t) override {}
    void OnTimer(uint32_t) override {}
    void OnSend(const std::vector<uint32_t>& recipients, std::string_view bytes) override;
    void OnStop() override {}

private:
    struct CDifference {
        std::string what;
        const Journal::CRecord* journal = nullptr; // the journal's send, if any
        std::vector<uint32_t> recipients;          // the replay's send, if any
        std::string bytes;
        bool replaySent = false;
    };

    const Journal::CRecord* Peek();
    Journal::CRecord Take();
    void ApplyDrops();
    void Report(const CDifference& difference);
    std::string Where(const Journal::CRecord& record) const;

    CReplayOptions m_options;
    std::ostream& m_out;
    std::optional<Journal::CJournalReader> m_reader;
    std::optional<Journal::CRecord> m_peeked;
    Journal::CRecord m_input;           // the record being replayed
    std::optional<Journal::CRecord> m_lastOutput; // kept for the report
    CSharedState* m_state = nullptr;
    std::optional<uint32_t> m_loggedOut;
    std::set<uint32_t> m_online; // logged in and not dropped
    std::optional<CDifference> m_difference;
    std::exception_ptr m_readError; // a damaged record met inside a module call
    uint64_t m_sendsCompared = 0;
    uint64_t m_lastTaken = 0; // the number of the last record read
};

#endif
