// Keeps a logged-in user across its connections. Every user the host logs in
// is a CUserChannel: the link the shared state sends to, which numbers the
// module's frames, keeps the most recent ones (game/FrameRing.h) and hands
// them to the connection serving the user. When that connection is cut
// without a goodbye, the channel stays: the module is not told, its frames
// are kept, and for --resume-window a new connection that shows the user's
// resume token takes the user over and is given what the old one missed.
// When the window ends, or the kept frames pass the bound, the user is
// logged out as usual.
//
// Runs on the event loop thread only.
#ifndef CORVANE_HOST_RESUMEKEEPER_H
#define CORVANE_HOST_RESUMEKEEPER_H

#include "game/FrameRing.h"
#include "game/ResumeTokens.h"
#include "game/SharedState.h"
#include "net/DeflateGroup.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CResumeKeeper;
class CWsSession;

class CUserChannel final : public IUserLink {
public:
    CUserChannel(CResumeKeeper& keeper, boost::asio::io_context& ioc, std::size_t ringLimit);

    // A module frame as it is: numbered, kept, and queued uncompressed.
    void Deliver(std::shared_ptr<const std::string> message) override;
    // A module frame as the shared compressor planned it for this user:
    // `raw` is numbered and kept, `wire` is queued.
    void DeliverPlanned(const std::shared_ptr<const std::string>& raw, CWirePayload wire);

    uint32_t UserId() const { return m_userId; }
    // The connection serving the user; null while it is away.
    CWsSession* Session() const { return m_session; }
    CDeflateMember* DeflateMember() const;
    const CFrameRing& Ring() const { return m_ring; }
    bool Away() const { return m_away; }

private:
    friend class CResumeKeeper;

    bool Keep(std::shared_ptr<const std::string> frame);

    CResumeKeeper& m_keeper;
    CFrameRing m_ring;
    boost::asio::steady_timer m_window;
    CWsSession* m_session = nullptr;
    uint32_t m_userId = 0;
    uint64_t m_awaySince = 0; // bumped on every cut, so that a late window timer sees it is stale
    bool m_away = false;
    bool m_ended = false;
};

struct CResumeSettings {
    std::chrono::seconds window; // 0: off
    std::size_t ringLimit;       // --send-queue
    std::size_t maxUsers;
};

class CResumeKeeper {
public:
    CResumeKeeper(boost::asio::io_context& ioc, CSharedState& state, CResumeSettings settings);
    ~CResumeKeeper();

    CResumeKeeper(const CResumeKeeper&) = delete;
    CResumeKeeper& operator=(const CResumeKeeper&) = delete;

    bool Enabled() const { return m_settings.window.count() > 0; }

    // A channel for a login; Adopt it once the shared state gave it an id.
    std::shared_ptr<CUserChannel> NewChannel();
    void Adopt(const std::shared_ptr<CUserChannel>& channel, uint32_t userId, CWsSession& session);
    // A new token for the user, which the caller sends as ResumeToken.
    std::string IssueToken(uint32_t userId);

    // The connection serving the channel ended. `keep`: it was cut without
    // the client's goodbye, and the user waits for a resume; else it is
    // logged out. `unwritten`: module frames still queued on the connection.
    void Leave(const std::shared_ptr<CUserChannel>& channel, bool keep, std::size_t unwritten);

    struct CResumeResult {
        EResumeCode code;
        std::shared_ptr<CUserChannel> channel; // when kResumeOk
        uint64_t first = 0;                    // the number of the first frame to give again
    };
    // Checks a Resume. On kResumeOk the user's token is used up and its
    // old connection, if still open, is closed; the caller sends ResumeAck
    // and a new token, then calls Attach. A refusal for a live token logs
    // the user out.
    CResumeResult Resume(std::string_view token, uint32_t framesReceived);
    // Queues the kept frames from `first` on to `session`, which serves the
    // channel from then on.
    void Attach(CUserChannel& channel, uint64_t first, CWsSession& session);

    // Logs out every user waiting for a resume: the server stops.
    void LogoutAway();

    std::size_t UsersAway() const { return m_away; }
    // What all rings are charged, connected users' and away users' alike.
    std::size_t KeptBytes() const;

private:
    friend class CUserChannel;

    // Logs the user out and remembers its token as `why`.
    void End(CUserChannel& channel, EResumeCode why);
    void Overflowed(CUserChannel& channel);
    void ArmWindow(const std::shared_ptr<CUserChannel>& channel);

    boost::asio::io_context& m_ioc;
    CSharedState& m_state;
    CResumeSettings m_settings;
    CResumeTokens m_tokens;
    std::unordered_map<uint32_t, std::shared_ptr<CUserChannel>> m_channels;
    std::size_t m_away = 0;
};

#endif
