#include "MoveTracker.h"

#include "archive/Endian.h"

#include <algorithm>

using archive_detail::LoadLE;

std::optional<std::span<const uint8_t>> PoseListEntries(const uint8_t* message, std::size_t size)
{
    if (size < 5) {
        return std::nullopt;
    }
    const std::size_t bytes = message[4] * ObjPos::kWireSize;
    if (size - 5 < bytes) {
        return std::nullopt;
    }
    return std::span<const uint8_t>(message + 5, bytes);
}

Pos CMoveTracker::PickTarget(std::mt19937& rng) const
{
    std::uniform_int_distribution<int> cell(0, kGridSize - 1);
    for (;;) {
        const Pos target{static_cast<int16_t>(cell(rng)), static_cast<int16_t>(cell(rng))};
        const bool taken = target == m_pos || std::any_of(m_moves.begin(), m_moves.end(),
                                                          [&](const CPending& m) { return m.target == target; });
        if (!taken) {
            return target;
        }
    }
}

void CMoveTracker::MarkInDeadLink()
{
    for (CPending& m : m_moves) {
        m.inDeadLink = true;
    }
}

std::size_t CMoveTracker::PendingInDeadLink() const
{
    return static_cast<std::size_t>(std::count_if(m_moves.begin(), m_moves.end(), [](const CPending& m) { return m.inDeadLink; }));
}

std::optional<CMoveTracker::CAnswer> CMoveTracker::OnPoseList(std::span<const uint8_t> entries, uint32_t userId,
                                                              Clock::time_point now)
{
    for (std::size_t at = 0; at + ObjPos::kWireSize <= entries.size(); at += ObjPos::kWireSize) {
        const uint8_t* e = entries.data() + at;
        if (LoadLE<uint32_t>(e) != userId || e[4] != 0) {
            continue;
        }
        m_pos = Pos{LoadLE<int16_t>(e + 5), LoadLE<int16_t>(e + 7)};
        const auto match = std::find_if(m_moves.begin(), m_moves.end(), [&](const CPending& m) { return m.target == m_pos; });
        if (match == m_moves.end()) {
            return std::nullopt;
        }
        CAnswer answer;
        answer.micros = static_cast<uint64_t>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(now - match->sent).count()));
        const auto dead = static_cast<uint64_t>(
            std::count_if(m_moves.begin(), match, [](const CPending& m) { return m.inDeadLink; }));
        answer.skipped = static_cast<uint64_t>(match - m_moves.begin()) - dead;
        answer.skippedInDeadLink = dead;
        m_moves.erase(m_moves.begin(), match + 1);
        return answer;
    }
    return std::nullopt;
}
