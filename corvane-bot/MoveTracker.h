// The moves one player has sent and not yet seen answered. A move is
// answered by the first PoseList that shows the player on the move's
// target; targets are chosen so that this can only be that move's effect.
#ifndef CORVANE_BOT_MOVETRACKER_H
#define CORVANE_BOT_MOVETRACKER_H

#include "archive/Records.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <span>

// The ObjPos records of a PoseList message (4-byte frame included), or
// nothing when the message is shorter than its count says.
std::optional<std::span<const uint8_t>> PoseListEntries(const uint8_t* message, std::size_t size);

class CMoveTracker {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int16_t kGridSize = 100;

    struct CAnswer {
        uint64_t micros = 0;
        // Older moves still waiting, overtaken by this answer: lost.
        uint64_t skipped = 0;
        // Of those, the moves sent on a connection given up as dead: they
        // never reached the host.
        uint64_t skippedInDeadLink = 0;
    };

    void SetPosition(Pos pos) { m_pos = pos; }
    Pos Position() const { return m_pos; }
    bool Waiting() const { return !m_moves.empty(); }
    std::size_t Pending() const { return m_moves.size(); }

    // A cell where the player neither stands nor is already headed.
    Pos PickTarget(std::mt19937& rng) const;
    void Sent(Pos target, Clock::time_point at) { m_moves.push_back({target, at, false}); }
    // The connection the waiting moves went out on was given up as dead:
    // those the host got are answered after the resume; the others can only
    // be overtaken, and then count apart.
    void MarkInDeadLink();
    std::size_t PendingInDeadLink() const;

    // Looks for the player's own entry only; updates the known position.
    std::optional<CAnswer> OnPoseList(std::span<const uint8_t> entries, uint32_t userId, Clock::time_point now);

private:
    struct CPending {
        Pos target;
        Clock::time_point sent;
        bool inDeadLink;
    };
    Pos m_pos;
    std::deque<CPending> m_moves;
};

#endif
