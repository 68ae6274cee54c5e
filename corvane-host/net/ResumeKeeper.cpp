#include "net/ResumeKeeper.h"

#include "net/WebSocketSession.h"

#include <boost/asio/post.hpp>
#include <spdlog/spdlog.h>

#include <algorithm>

namespace asio = boost::asio;

namespace {

// Retired tokens remembered per user the host may have: a few resumes each
// within one window is what a flaky link produces.
constexpr std::size_t kRetiredPerUser = 4;

} // namespace

CUserChannel::CUserChannel(CResumeKeeper& keeper, asio::io_context& ioc, std::size_t ringLimit)
    : m_keeper(keeper), m_ring(ringLimit), m_window(ioc)
{
}

CDeflateMember* CUserChannel::DeflateMember() const
{
    return m_session != nullptr ? m_session->DeflateMember() : nullptr;
}

bool CUserChannel::Keep(std::shared_ptr<const std::string> frame)
{
    if (m_ring.Push(std::move(frame))) {
        return true;
    }
    m_keeper.Overflowed(*this);
    return false;
}

void CUserChannel::Deliver(std::shared_ptr<const std::string> message)
{
    if (m_ended || !Keep(message) || m_session == nullptr) {
        return;
    }
    m_session->DeliverWire({std::move(message), false});
}

void CUserChannel::DeliverPlanned(const std::shared_ptr<const std::string>& raw, CWirePayload wire)
{
    if (m_ended || !Keep(raw) || m_session == nullptr) {
        return;
    }
    m_session->DeliverWire(std::move(wire));
}

CResumeKeeper::CResumeKeeper(asio::io_context& ioc, CSharedState& state, CResumeSettings settings)
    : m_ioc(ioc),
      m_state(state),
      m_settings(settings),
      m_tokens(settings.window, settings.maxUsers * kRetiredPerUser)
{
}

CResumeKeeper::~CResumeKeeper() = default;

std::shared_ptr<CUserChannel> CResumeKeeper::NewChannel()
{
    // With resume off nothing is kept: the ring only counts.
    return std::make_shared<CUserChannel>(*this, m_ioc, Enabled() ? m_settings.ringLimit : 0);
}

void CResumeKeeper::Adopt(const std::shared_ptr<CUserChannel>& channel, uint32_t userId, CWsSession& session)
{
    channel->m_userId = userId;
    channel->m_session = &session;
    m_channels[userId] = channel;
}

std::string CResumeKeeper::IssueToken(uint32_t userId) { return m_tokens.Issue(userId); }

void CResumeKeeper::Leave(const std::shared_ptr<CUserChannel>& channel, bool keep, std::size_t unwritten)
{
    channel->m_session = nullptr;
    if (channel->m_ended) {
        return;
    }
    if (!keep || !Enabled()) {
        End(*channel, kResumeExpired);
        return;
    }
    channel->m_away = true;
    ++channel->m_awaySince;
    ++m_away;
    // What was still queued never reached the client; what was written may
    // not have either, but only the frames it cannot have must be kept.
    CFrameRing& ring = channel->m_ring;
    ring.Protect(ring.Sent() - std::min<uint64_t>(unwritten, ring.Sent()));
    spdlog::info("user {} kept for {} s for a resume ({} frame(s) kept, {} unwritten)", channel->m_userId,
                 m_settings.window.count(), ring.Sent() - ring.FirstKept(), unwritten);
    ArmWindow(channel);
}

void CResumeKeeper::ArmWindow(const std::shared_ptr<CUserChannel>& channel)
{
    channel->m_window.expires_after(m_settings.window);
    channel->m_window.async_wait(
        [this, weak = std::weak_ptr<CUserChannel>(channel), since = channel->m_awaySince](boost::system::error_code ec) {
            const std::shared_ptr<CUserChannel> kept = weak.lock();
            // A resume that came first wins, even when this wait had already
            // finished: the channel is no longer away, or away since a later cut.
            if (ec || kept == nullptr || !kept->m_away || kept->m_awaySince != since) {
                return;
            }
            spdlog::info("user {}: no resume within {} s", kept->m_userId, m_settings.window.count());
            End(*kept, kResumeExpired);
        });
}

CResumeKeeper::CResumeResult CResumeKeeper::Resume(std::string_view token, uint32_t framesReceived)
{
    const auto now = CResumeTokens::Clock::now();
    const CResumeTokens::CLookup found = m_tokens.Find(token, now);
    if (found.code != kResumeOk) {
        return {found.code, nullptr, 0};
    }
    const auto it = m_channels.find(found.userId);
    if (it == m_channels.end()) {
        return {kResumeExpired, nullptr, 0};
    }
    std::shared_ptr<CUserChannel> channel = it->second;
    const CFrameRing& ring = channel->m_ring;
    uint64_t first = 0;
    EResumeCode code = kResumeOk;
    switch (ring.Locate(framesReceived, first)) {
    case CFrameRing::ECount::kAhead:
        code = kResumeFramesAhead;
        break;
    case CFrameRing::ECount::kTooOld:
        code = kResumeFramesTooOld;
        break;
    case CFrameRing::ECount::kKept:
        break;
    }
    // The newest connection wins: the old one may only look alive.
    if (CWsSession* old = channel->m_session) {
        channel->m_session = nullptr;
        old->TakenOver();
    }
    if (code != kResumeOk) {
        spdlog::info("user {}: resume refused with code {} (frames received {}, kept {} to {})", channel->m_userId,
                     static_cast<int>(code), framesReceived, ring.FirstKept(), ring.Sent());
        End(*channel, kResumeExpired);
        return {code, nullptr, 0};
    }
    m_tokens.Retire(channel->m_userId, kResumeTokenUsed, now);
    if (channel->m_away) {
        channel->m_away = false;
        --m_away;
        channel->m_window.cancel();
    }
    channel->m_ring.Unprotect();
    return {kResumeOk, std::move(channel), first};
}

void CResumeKeeper::Attach(CUserChannel& channel, uint64_t first, CWsSession& session)
{
    channel.m_session = &session;
    channel.m_ring.ForEachFrom(first, [&session](const std::shared_ptr<const std::string>& frame) {
        session.DeliverReplayed(frame);
    });
}

void CResumeKeeper::LogoutAway()
{
    std::vector<std::shared_ptr<CUserChannel>> away;
    for (const auto& [userId, channel] : m_channels) {
        if (channel->m_away) {
            away.push_back(channel);
        }
    }
    for (const auto& channel : away) {
        End(*channel, kResumeExpired);
    }
}

std::size_t CResumeKeeper::KeptBytes() const
{
    std::size_t bytes = 0;
    for (const auto& [userId, channel] : m_channels) {
        bytes += channel->m_ring.Charged();
    }
    return bytes;
}

void CResumeKeeper::Overflowed(CUserChannel& channel)
{
    spdlog::info("user {}: the frames kept while away passed --send-queue; logged out", channel.m_userId);
    End(channel, kResumeOverflow);
}

void CResumeKeeper::End(CUserChannel& channel, EResumeCode why)
{
    if (channel.m_ended) {
        return;
    }
    channel.m_ended = true;
    if (channel.m_away) {
        channel.m_away = false;
        --m_away;
    }
    channel.m_window.cancel();
    const uint32_t userId = channel.m_userId;
    m_tokens.Retire(userId, why, CResumeTokens::Clock::now());
    const auto it = m_channels.find(userId);
    if (it == m_channels.end()) {
        return;
    }
    // The end may come from inside a send to this very channel (its frames
    // overflowed): it is destroyed once the loop is back.
    asio::post(m_ioc, [held = std::move(it->second)] {});
    m_channels.erase(it);
    m_state.Logout(userId);
}
