// One deflate per broadcast, with history, shared by every connection that
// received the same stream.
//
// A client's permessage-deflate inflater keeps a window of what it inflated
// before; a compressor with history may refer to anything in it. Deflating
// each message once per recipient would keep that gain but cost a deflate per
// player per move; deflating once without history halves the bytes only.
// The group gets both from these invariants:
//
// 1. A client's window holds only what arrived compressed (RSV1 set): a
//    message sent uncompressed does not touch it.
// 2. Every member has received exactly the messages the group's compressor
//    compressed since its last reset, in the same order, and nothing else
//    compressed with history. So one compressor's output is right for all
//    of them, and the same bytes (one shared buffer) go to every member.
// 3. The compressor compresses a message only when every member receives
//    it, and once compressed it goes to every member compressed, even when
//    it did not shrink: its bytes are in the compressor's history now.
// 4. A message for only some members goes to those members uncompressed,
//    as do the host's own private messages. When a message reaches most
//    members, the ones it misses leave the group instead (they wait for the
//    next epoch) and the message is compressed for the rest.
// 5. A new connection waits outside the group until the next epoch. An
//    epoch begins with a message that reaches every member and some
//    waiting connections, at least `epoch` after the previous one (at once
//    while the group is empty): the compressor is reset (deflateReset; from
//    then on it refers only to bytes sent after the reset, which every
//    member, old and new, receives) and the waiting recipients join. A
//    member that leaves simply stops receiving.
// 6. Connections outside the group (waiting, or whose client asked the
//    server to keep no history) get messages compressed without history:
//    one deflate per message for all of them.
// 7. Messages shorter than kMinCompressed go uncompressed to everyone: the
//    block header would cost more than it saves.
//
// Runs on the event loop thread only.
#ifndef CORVANE_HOST_DEFLATEGROUP_H
#define CORVANE_HOST_DEFLATEGROUP_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <zlib.h>

// What one recipient is sent for one message.
struct CWirePayload {
    std::shared_ptr<const std::string> bytes;
    bool compressed; // RSV1: bytes are a deflate stream without its 00 00 ff ff
};

// A connection's part in the group; the connection owns it.
class CDeflateMember {
public:
    // contextTakeover: false when the client asked the server to keep no
    // history, which keeps the connection out of the group for good.
    explicit CDeflateMember(bool contextTakeover) : m_contextTakeover(contextTakeover) {}

    bool InGroup() const { return m_state == EState::kMember; }

private:
    friend class CDeflateGroup;
    enum class EState : uint8_t { kOutside, kWaiting, kMember };
    enum class EChoice : uint8_t { kRaw, kGroup, kSingle };

    bool m_contextTakeover;
    EState m_state = EState::kOutside;
    EChoice m_choice = EChoice::kRaw; // for the message being delivered
    uint64_t m_stamp = 0;             // the last message that named it
};

struct CDeflateStats {
    uint64_t bytesBefore = 0; // of the messages delivered compressed, before
    uint64_t bytesAfter = 0;  // and after compression
    uint64_t epochs = 0;
    uint64_t uncompressedToMembers = 0; // deliveries to members left uncompressed (not the short ones)
    uint64_t deflates = 0;              // messages compressed, with or without history
};

class CDeflateGroup {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMinCompressed = 48;

    // One message's payloads; which one a recipient gets is For's answer.
    struct CPlan {
        std::shared_ptr<const std::string> raw;
        std::shared_ptr<const std::string> group;  // with history, for members
        std::shared_ptr<const std::string> single; // without, for the others
    };

    explicit CDeflateGroup(Clock::duration epoch);
    ~CDeflateGroup();
    CDeflateGroup(const CDeflateGroup&) = delete;
    CDeflateGroup& operator=(const CDeflateGroup&) = delete;

    // A connection that negotiated permessage-deflate; with context
    // takeover it waits for the next epoch.
    void Join(CDeflateMember& member);
    void Leave(CDeflateMember& member);

    // Decides how one message goes to its recipients (null for connections
    // that negotiated no compression; the same one may appear twice) and
    // compresses it as needed. Then call For once per recipient.
    CPlan Plan(std::span<CDeflateMember* const> recipients, std::shared_ptr<const std::string> message,
               Clock::time_point now);
    // What one recipient of the planned message is sent. A second call for
    // the same recipient gets the message uncompressed.
    CWirePayload For(const CPlan& plan, CDeflateMember* member);

    std::size_t Members() const { return m_members.size(); }
    const CDeflateStats& Stats() const { return m_stats; }

private:
    std::shared_ptr<const std::string> Compress(z_stream& stream, const std::string& message);

    Clock::duration m_epoch;
    Clock::time_point m_epochStart{};
    z_stream m_group{};  // with history since the last epoch
    z_stream m_single{}; // reset before every message
    std::vector<CDeflateMember*> m_members;
    std::string m_scratch; // Compress's output before it is copied to its exact size
    uint64_t m_seq = 0;
    CDeflateStats m_stats;
};

#endif
