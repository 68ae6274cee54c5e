// Whether players whose connections were cut and resumed received the same
// frames as a control player that is never cut. The module broadcasts its
// moves, attacks and ticks to everyone on the grid, one module call at a
// time, so every player on the grid receives the same frames in the same
// order; a player's frames (hashes of the inflated messages of the module)
// must therefore be one unbroken run of the control's. A frame of the
// control's missing from the run was lost; a frame that comes again was
// repeated; a frame the control never received is unmatched.
#ifndef CORVANE_BOT_STREAMCHECK_H
#define CORVANE_BOT_STREAMCHECK_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>

// The hash a frame is compared by.
uint64_t FrameHash(std::string_view message);

class CStreamCheck {
public:
    // How far from the expected place a lost or repeated frame is looked
    // for, in the control's frames; also how much of the control's stream
    // is kept behind the slowest player.
    static constexpr std::size_t kWindow = 1u << 15;
    // Frames that must agree in a row to find where a player's run starts.
    static constexpr std::size_t kAlign = 4;

    // The control's frames, in the order received.
    void AddControl(std::span<const uint64_t> hashes);
    // A player starts a run: its frames from here on are compared anew
    // (the load began, or it logged in afresh).
    void StartRun(uint32_t player);
    void AddPlayer(uint32_t player, std::span<const uint64_t> hashes);

    // Compares what can be compared so far. A frame that does not match
    // its place waits until the control has kWindow frames past it, so
    // that a frame the control has not yet received is not called lost.
    // `final`: nothing more comes; compare everything.
    void Advance(bool final);

    uint64_t Compared() const { return m_compared; }
    uint64_t Lost() const { return m_lost; }
    uint64_t Repeated() const { return m_repeated; }
    uint64_t Unmatched() const { return m_unmatched; }
    // Frames not compared: before the start of a run, where the control's
    // frames were not yet kept (a run starts where kAlign frames in a row
    // are the control's), or after the control's last frame.
    uint64_t Skipped() const { return m_skipped; }
    // Control frames kept now (for the memory bound).
    std::size_t ControlKept() const { return m_control.size(); }

private:
    struct CRun {
        uint32_t player = 0;
        // A newer run of the same player has started: nothing more comes.
        bool closed = false;
        std::deque<uint64_t> pending;
        // The control frame the next pending frame should be; none until aligned.
        std::optional<uint64_t> cursor;
        // No control frame before this one can belong to the run.
        uint64_t from = 0;
    };

    uint64_t End() const { return m_base + m_control.size(); }
    uint64_t At(uint64_t index) const { return m_control[static_cast<std::size_t>(index - m_base)]; }
    bool Align(CRun& run, bool final);
    void Compare(CRun& run, bool final);
    void Trim();

    std::deque<uint64_t> m_control;
    uint64_t m_base = 0;
    // Runs by their number; each player's current run by player.
    std::map<uint64_t, CRun> m_runs;
    std::unordered_map<uint32_t, uint64_t> m_current;
    uint64_t m_nextRun = 0;
    uint64_t m_compared = 0;
    uint64_t m_lost = 0;
    uint64_t m_repeated = 0;
    uint64_t m_unmatched = 0;
    uint64_t m_skipped = 0;
};

#endif
