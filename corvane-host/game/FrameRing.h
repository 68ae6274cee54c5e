// The most recent module frames sent to one user, numbered from 0 at its
// login across all its connections, so that a resumed connection can be
// given what the one before it may have lost. Each frame is charged as the
// send queue charges it (payload + 64 bytes) against a bound; the payloads
// are the buffers every recipient shares, so keeping one costs a reference.
#ifndef CORVANE_HOST_FRAMERING_H
#define CORVANE_HOST_FRAMERING_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>

// What a kept frame costs on top of its payload: the same as a frame in a
// connection's send queue.
inline constexpr std::size_t kKeptFrameCost = 64;

class CFrameRing {
public:
    static constexpr std::size_t Cost(std::size_t payloadSize) { return payloadSize + kKeptFrameCost; }

    // `limit` 0 keeps nothing and only counts.
    explicit CFrameRing(std::size_t limit) : m_limit(limit) {}

    // Numbers and keeps one frame, dropping the oldest to stay within the
    // limit, but none numbered from the protected one on. False, with the
    // frame kept, when the protected frames alone pass the limit.
    bool Push(std::shared_ptr<const std::string> frame);
    // Frames from `first` on are ones the client cannot have: they may not
    // be dropped. Unprotect lifts it.
    void Protect(uint64_t first) { m_protectFrom = first; }
    void Unprotect() { m_protectFrom = std::numeric_limits<uint64_t>::max(); }

    // Frames numbered so far: the next frame's number.
    uint64_t Sent() const { return m_sent; }
    // Numbers from `next` on, with nothing kept; lets tests begin near the
    // wrap of the clients' 32-bit counts.
    void StartAt(uint64_t next)
    {
        m_frames.clear();
        m_charged = 0;
        m_sent = next;
    }

    enum class ECount : uint8_t { kKept, kAhead, kTooOld };
    // Where a client's count of frames received (32 bits, wrapping after
    // 2^32 frames, while the ring holds far fewer) falls: ahead of what was
    // sent, older than what is kept, or kept, with `first` the number of the
    // frame the client lacks first.
    ECount Locate(uint32_t received, uint64_t& first) const;
    // The number of the oldest frame kept (Sent() when none is).
    uint64_t FirstKept() const { return m_sent - m_frames.size(); }
    std::size_t Charged() const { return m_charged; }

    // Calls onFrame(const std::shared_ptr<const std::string>&) for the kept
    // frames from number `first` (FirstKept() to Sent()) on, in order.
    template <class F>
    void ForEachFrom(uint64_t first, F&& onFrame) const
    {
        for (std::size_t i = static_cast<std::size_t>(first - FirstKept()); i < m_frames.size(); ++i) {
            onFrame(m_frames[i]);
        }
    }

private:
    std::size_t m_limit;
    std::deque<std::shared_ptr<const std::string>> m_frames;
    std::size_t m_charged = 0;
    uint64_t m_sent = 0;
    uint64_t m_protectFrom = std::numeric_limits<uint64_t>::max();
};

#endif
