#include "StreamCheck.h"

#include <algorithm>
#include <functional>

uint64_t FrameHash(std::string_view message) { return std::hash<std::string_view>{}(message); }

void CStreamCheck::AddControl(std::span<const uint64_t> hashes)
{
    m_control.insert(m_control.end(), hashes.begin(), hashes.end());
}

void CStreamCheck::StartRun(uint32_t player)
{
    if (const auto it = m_current.find(player); it != m_current.end()) {
        m_runs[it->second].closed = true;
    }
    const uint64_t id = m_nextRun++;
    m_current[player] = id;
    CRun& run = m_runs[id];
    run.player = player;
    // The player's first frames may have reached the control a while ago.
    run.from = std::max(m_base, End() - std::min<uint64_t>(End(), kWindow));
}

void CStreamCheck::AddPlayer(uint32_t player, std::span<const uint64_t> hashes)
{
    const auto it = m_current.find(player);
    if (it == m_current.end()) {
        m_skipped += hashes.size();
        return;
    }
    std::deque<uint64_t>& pending = m_runs[it->second].pending;
    pending.insert(pending.end(), hashes.begin(), hashes.end());
}

void CStreamCheck::Advance(bool final)
{
    for (auto it = m_runs.begin(); it != m_runs.end();) {
        CRun& run = it->second;
        if (run.cursor || Align(run, final)) {
            Compare(run, final);
        }
        if (run.closed && run.pending.empty()) {
            it = m_runs.erase(it);
        } else {
            ++it;
        }
    }
    Trim();
}

// The run starts at the newest place where kAlign of its frames in a row
// are the control's; up to 16 leading frames that the control was not
// seen to receive are skipped.
bool CStreamCheck::Align(CRun& run, bool final)
{
    constexpr std::size_t kMaxLead = 16;
    const std::size_t k = final ? std::min(kAlign, run.pending.size()) : kAlign;
    if (k == 0 || run.pending.size() < k) {
        return false;
    }
    const uint64_t from = std::max(run.from, m_base);
    for (std::size_t lead = 0; lead <= std::min(kMaxLead, run.pending.size() - k); ++lead) {
        for (uint64_t i = End(); i >= from + k; --i) {
            const uint64_t start = i - k;
            bool match = true;
            for (std::size_t n = 0; n < k && match; ++n) {
                match = At(start + n) == run.pending[lead + n];
            }
            if (match) {
                m_skipped += lead;
                run.pending.erase(run.pending.begin(), run.pending.begin() + static_cast<std::ptrdiff_t>(lead));
                run.cursor = start;
                return true;
            }
        }
    }
    if (final) {
        m_unmatched += run.pending.size();
        run.pending.clear();
    }
    return false;
}

void CStreamCheck::Compare(CRun& run, bool final)
{
    uint64_t& cursor = *run.cursor;
    while (!run.pending.empty()) {
        const uint64_t hash = run.pending.front();
        if (cursor >= End()) {
            if (!final) {
                return;
            }
            // The control stopped first: nothing left to compare with.
            m_skipped += run.pending.size();
            run.pending.clear();
            return;
        }
        if (At(cursor) == hash) {
            ++cursor;
            ++m_compared;
            run.pending.pop_front();
            continue;
        }
        if (!final && End() - cursor < kWindow) {
            return;
        }
        std::optional<uint64_t> ahead;
        for (uint64_t j = cursor + 1; j < std::min(End(), cursor + kWindow) && !ahead; ++j) {
            if (At(j) == hash) {
                ahead = j;
            }
        }
        std::optional<uint64_t> behind;
        const uint64_t low = std::max({m_base, run.from, cursor - std::min(cursor, uint64_t{kWindow})});
        for (uint64_t j = cursor; j > low && !behind; --j) {
            if (At(j - 1) == hash) {
                behind = j - 1;
            }
        }
        run.pending.pop_front();
        if (ahead && (!behind || *ahead - cursor <= cursor - *behind)) {
            m_lost += *ahead - cursor;
            cursor = *ahead + 1;
            ++m_compared;
        } else if (behind) {
            ++m_repeated;
        } else {
            ++m_unmatched;
        }
    }
}

void CStreamCheck::Trim()
{
    uint64_t keep = End() - std::min<uint64_t>(End(), kWindow);
    for (const auto& [id, run] : m_runs) {
        keep = std::min(keep, run.cursor ? *run.cursor - std::min(*run.cursor, uint64_t{kWindow}) : run.from);
    }
    while (m_base < keep && !m_control.empty()) {
        m_control.pop_front();
        ++m_base;
    }
}
