#include "net/DeflateGroup.h"

#include <algorithm>
#include <new>

namespace {

// The fastest level: consecutive messages differ in a few bytes, and with
// the previous ones in the window even level 1 finds the long matches.
constexpr int kLevel = 1;
constexpr int kWindowBits = 15;
constexpr int kMemLevel = 8;

void InitDeflate(z_stream& stream)
{
    if (deflateInit2(&stream, kLevel, Z_DEFLATED, -kWindowBits, kMemLevel, Z_DEFAULT_STRATEGY) != Z_OK) {
        throw std::bad_alloc();
    }
}

} // namespace

CDeflateGroup::CDeflateGroup(Clock::duration epoch) : m_epoch(epoch)
{
    InitDeflate(m_group);
    try {
        InitDeflate(m_single);
    } catch (...) {
        deflateEnd(&m_group);
        throw;
    }
}

CDeflateGroup::~CDeflateGroup()
{
    deflateEnd(&m_group);
    deflateEnd(&m_single);
}

void CDeflateGroup::Join(CDeflateMember& member)
{
    member.m_state = member.m_contextTakeover ? CDeflateMember::EState::kWaiting : CDeflateMember::EState::kOutside;
}

void CDeflateGroup::Leave(CDeflateMember& member)
{
    if (member.m_state == CDeflateMember::EState::kMember) {
        std::erase(m_members, &member);
    }
    member.m_state = CDeflateMember::EState::kOutside;
}

CDeflateGroup::CPlan CDeflateGroup::Plan(std::span<CDeflateMember* const> recipients,
                                         std::shared_ptr<const std::string> message, Clock::time_point now)
{
    using EState = CDeflateMember::EState;
    using EChoice = CDeflateMember::EChoice;
    CPlan plan;
    plan.raw = std::move(message);
    ++m_seq;
    std::size_t reached = 0;
    bool waiting = false;
    for (CDeflateMember* member : recipients) {
        if (member == nullptr || member->m_stamp == m_seq) {
            continue;
        }
        member->m_stamp = m_seq;
        member->m_choice = EChoice::kRaw;
        reached += member->m_state == EState::kMember ? 1 : 0;
        waiting = waiting || member->m_state == EState::kWaiting;
    }
    const std::string& raw = *plan.raw;
    if (raw.size() < kMinCompressed) {
        return plan;
    }

    const bool broadcast = reached > 0 ? 2 * reached > m_members.size() : m_members.empty();
    if (!broadcast) {
        m_stats.uncompressedToMembers += reached;
    } else {
        if (reached < m_members.size()) {
            std::erase_if(m_members, [this](CDeflateMember* member) {
                if (member->m_stamp == m_seq) {
                    return false;
                }
                member->m_state = EState::kWaiting;
                return true;
            });
        }
        if (waiting && (m_members.empty() || now - m_epochStart >= m_epoch)) {
            deflateReset(&m_group);
            m_epochStart = now;
            ++m_stats.epochs;
            for (CDeflateMember* member : recipients) {
                if (member != nullptr && member->m_state == EState::kWaiting) {
                    member->m_state = EState::kMember;
                    m_members.push_back(member);
                }
            }
        }
        if (!m_members.empty()) {
            plan.group = Compress(m_group, raw);
            for (CDeflateMember* member : m_members) {
                member->m_choice = EChoice::kGroup;
            }
        }
    }

    const bool outside = std::any_of(recipients.begin(), recipients.end(), [](const CDeflateMember* member) {
        return member != nullptr && member->m_state != EState::kMember;
    });
    if (outside) {
        deflateReset(&m_single);
        std::shared_ptr<const std::string> single = Compress(m_single, raw);
        if (single->size() < raw.size()) {
            plan.single = std::move(single);
            for (CDeflateMember* member : recipients) {
                if (member != nullptr && member->m_state != EState::kMember) {
                    member->m_choice = EChoice::kSingle;
                }
            }
        }
    }
    return plan;
}

CWirePayload CDeflateGroup::For(const CPlan& plan, CDeflateMember* member)
{
    if (member == nullptr) {
        return {plan.raw, false};
    }
    const CDeflateMember::EChoice choice = member->m_choice;
    member->m_choice = CDeflateMember::EChoice::kRaw;
    const std::shared_ptr<const std::string>* compressed = nullptr;
    switch (choice) {
    case CDeflateMember::EChoice::kGroup:
        compressed = &plan.group;
        break;
    case CDeflateMember::EChoice::kSingle:
        compressed = &plan.single;
        break;
    case CDeflateMember::EChoice::kRaw:
        return {plan.raw, false};
    }
    m_stats.bytesBefore += plan.raw->size();
    m_stats.bytesAfter += (*compressed)->size();
    return {*compressed, true};
}

// A sync flush ends the output on a byte boundary with an empty stored
// block, 00 00 ff ff, which the sender of a message leaves off. The output
// goes to a scratch buffer first, so that what every queue holds is the
// compressed size, not deflate's bound for the whole message.
std::shared_ptr<const std::string> CDeflateGroup::Compress(z_stream& stream, const std::string& message)
{
    ++m_stats.deflates;
    const std::size_t bound = deflateBound(&stream, static_cast<uLong>(message.size())) + 16;
    if (m_scratch.size() < bound) {
        m_scratch.resize(bound);
    }
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(message.data()));
    stream.avail_in = static_cast<uInt>(message.size());
    std::size_t used = 0;
    for (;;) {
        stream.next_out = reinterpret_cast<Bytef*>(m_scratch.data() + used);
        stream.avail_out = static_cast<uInt>(m_scratch.size() - used);
        deflate(&stream, Z_SYNC_FLUSH);
        used = m_scratch.size() - stream.avail_out;
        if (stream.avail_out > 0) {
            break;
        }
        m_scratch.resize(2 * m_scratch.size());
    }
    return std::make_shared<const std::string>(m_scratch.data(), used - 4);
}
