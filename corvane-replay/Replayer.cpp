#include "Replayer.h"

#include "ops/Metrics.h"
#include "MessageText.h"
#include "game/ModuleLoader.h"
#include "game/SharedState.h"
#include "ops/StartupError.h"

#include <boost/asio/io_context.hpp>

#include <cstdio>
#include <limits>
#include <map>
#include <ostream>
#include <set>

using Journal::CJournalError;
using Journal::CRecord;
using Journal::ERecord;

namespace {

// A replayed user: where the session's connection was. What the module
// sends is checked where it is sent, so nothing is kept here.
class CReplayLink final : public IUserLink {
public:
    void Deliver(std::shared_ptr<const std::string>) override {}
};

std::string Seconds(uint64_t nanos)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.6f s", static_cast<double>(nanos) / 1e9);
    return text;
}

} // namespace

CReplayer::CReplayer(CReplayOptions options, std::ostream& out) : m_options(std::move(options)), m_out(out) {}

const CRecord* CReplayer::Peek()
{
    if (!m_peeked) {
        m_peeked = m_reader->Next();
    }
    return m_peeked ? &*m_peeked : nullptr;
}

CRecord CReplayer::Take()
{
    Peek();
    CRecord record = std::move(*m_peeked);
    m_peeked.reset();
    m_lastTaken = record.number;
    return record;
}

std::string CReplayer::Where(const CRecord& record) const
{
    return "record " + std::to_string(record.number) + " (" + Journal::RecordName(record.type) + ", " +
           Seconds(record.nanos) + " into the session)";
}

int CReplayer::Run()
{
    m_reader.emplace(m_options.journal);
    CModuleLoader loader(m_options.module);
    boost::asio::io_context ioc;
    CMetrics metrics;
    CSharedState state(ioc, metrics, std::numeric_limits<uint32_t>::max(), nullptr);
    state.SetObserver(this);
    m_state = &state;

    std::map<uint32_t, CReplayLink> links;
    std::set<uint32_t> droppedOutside; // gone between calls: logged out at their Logout record
    uint64_t logins = 0;
    uint64_t messages = 0;
    uint64_t ticks = 0;
    uint64_t resumes = 0;
    bool stopped = false;
    bool cutByUntil = false;

    try {
        while (const CRecord* next = Peek()) {
            if (m_options.until && next->number > *m_options.until) {
                cutByUntil = true;
                break;
            }
            m_input = Take();
            m_loggedOut.reset();
            switch (m_input.type) {
            case ERecord::Start:
                if (!state.StartModule(loader.StartFunction())) {
                    throw CStartupError("module " + m_options.module.string() + " failed to start");
                }
                // Timers fire where the journal says, never by the clock.
                state.StopTimers();
                ioc.restart();
                ioc.poll();
                break;
            case ERecord::Login: {
                const uint32_t userId = m_input.UserId();
                const CLoginResult result = state.Login(links[userId], "");
                if (result.userId != userId) {
                    m_difference = CDifference{"the journal logs in user " + std::to_string(userId) +
                                                   " where the host gives id " + std::to_string(result.userId),
                                               nullptr, {}, {}, false};
                    break;
                }
                m_online.insert(userId);
                ++logins;
                state.ReportLogin(userId);
                break;
            }
            case ERecord::Logout: {
                const uint32_t userId = m_input.UserId();
                if (m_online.erase(userId) != 0 || droppedOutside.erase(userId) != 0) {
                    state.Logout(userId);
                } else {
                    // Dropped during a module call: its report waits on the loop.
                    ioc.restart();
                    ioc.poll_one();
                }
                if (m_loggedOut != userId) {
                    m_difference = CDifference{"the journal reports user " + std::to_string(userId) +
                                                   "'s logout here; the replay has no such logout pending",
                                               nullptr, {}, {}, false};
                }
                break;
            }
            case ERecord::Drop:
                // Drops come right after the send that caused them, where
                // OnSend applies them; one found here follows a send the
                // replay did not make.
                if (m_online.erase(m_input.UserId()) != 0) {
                    droppedOutside.insert(m_input.UserId());
                }
                break;
            case ERecord::Resume:
                // The host's own event: the module was not called. The user
                // must still be online, as it was in the session.
                ++resumes;
                if (!m_online.contains(m_input.UserId())) {
                    m_difference = CDifference{"the journal resumes user " + std::to_string(m_input.UserId()) +
                                                   ", who is not online in the replay",
                                               nullptr, {}, {}, false};
                }
                break;
            case ERecord::Message: {
                const std::string_view bytes = m_input.Bytes();
                ++messages;
                state.DeliverToModule(m_input.UserId(), reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
                break;
            }
            case ERecord::Timer:
                ++ticks;
                if (!state.FireTimer(m_input.TimerHandle())) {
                    m_difference = CDifference{"the journal fires timer " + std::to_string(m_input.TimerHandle()) +
                                                   ", which the module never added",
                                               nullptr, {}, {}, false};
                }
                break;
            case ERecord::SendHash:
            case ERecord::SendFull:
                if (m_options.verify) {
                    m_lastOutput = m_input;
                    m_difference = CDifference{"the journal has a send here that the replay did not make",
                                               &*m_lastOutput, {}, {}, false};
                }
                break;
            case ERecord::Stop:
                state.FinishModule();
                stopped = true;
                break;
            }
            if (m_readError) {
                std::rethrow_exception(m_readError);
            }
            if (m_difference) {
                Report(*m_difference);
                return kReplayDifferent;
            }
        }
    } catch (const CJournalError& e) {
        m_out << "corvane-replay: " << e.what() << "; records 1 to " << m_lastTaken << " before it were replayed\n";
        return kReplayUnusable;
    }

    m_out << "replayed records 1 to " << m_lastTaken << ": " << logins << " logins, " << messages << " messages, "
          << ticks << " timer fires, " << resumes << " resumes, " << m_sendsCompared << " sends";
    m_out << (m_options.verify ? " compared, no difference\n" : " (not compared; --verify compares them)\n");
    if (cutByUntil) {
        m_out << "stopped after record " << *m_options.until << " as asked\n";
    } else if (const auto torn = m_reader->TornAt()) {
        m_out << "the journal ends in a record cut short at byte offset " << *torn << " of "
              << m_reader->FileSize() << " (the host was stopped while writing it); everything before it was replayed\n";
    } else if (!stopped) {
        m_out << "the journal has no stop record: the host did not stop cleanly\n";
    }
    return kReplayOk;
}

void CReplayer::OnSend(const std::vector<uint32_t>& recipients, std::string_view bytes)
{
    if (m_difference || m_readError) {
        return;
    }
    // A damaged journal must not surface as an exception inside the module.
    try {
        const CRecord* next = Peek();
        if (next == nullptr) {
            // The journal ends inside this call (a killed host's last batch):
            // nothing to compare with.
            return;
        }
        if (!Journal::IsOutput(next->type)) {
            if (m_options.verify) {
                m_difference = CDifference{"the replay made a send that the journal does not have", nullptr,
                                           recipients, std::string(bytes), true};
            }
            return;
        }
        CRecord send = Take();
        ++m_sendsCompared;
        if (m_options.verify) {
            const bool same = send.type == ERecord::SendFull
                                  ? send.Recipients() == recipients && send.Bytes() == bytes
                                  : send.Hash() == Journal::HashSend(recipients, bytes);
            if (!same) {
                m_lastOutput = std::move(send);
                m_difference =
                    CDifference{"the send differs", &*m_lastOutput, recipients, std::string(bytes), true};
                return;
            }
        }
        ApplyDrops();
    } catch (...) {
        m_readError = std::current_exception();
    }
}

void CReplayer::ApplyDrops()
{
    while (const CRecord* next = Peek()) {
        if (next->type != ERecord::Drop) {
            return;
        }
        // Inside the module call, as in the session: the logout is reported
        // once the call has returned, at the journal's Logout record.
        const uint32_t userId = Take().UserId();
        m_online.erase(userId);
        m_state->Logout(userId);
    }
}

void CReplayer::Report(const CDifference& difference)
{
    const CRecord& at = difference.journal != nullptr ? *difference.journal : m_input;
    m_out << "difference at " << Where(at) << ": " << difference.what << "\n";
    if (&at != &m_input) {
        m_out << "  while replaying " << Where(m_input);
        if (m_input.type == ERecord::Message) {
            m_out << " from user " << m_input.UserId() << ": " << HexBytes(m_input.Bytes());
        }
        m_out << "\n";
    }
    if (difference.journal == nullptr && !difference.replaySent) {
        return;
    }

    std::vector<std::string> journalLines;
    std::string journalTo;
    if (difference.journal == nullptr) {
        journalTo = "nothing";
    } else if (difference.journal->type == ERecord::SendFull) {
        journalTo = "to " + JoinIds(difference.journal->Recipients());
        journalLines = DescribeMessage(difference.journal->Bytes());
    } else {
        journalTo = "a hash of its recipients and bytes only (record with --record-outputs full to see them)";
    }
    std::vector<std::string> replayLines;
    std::string replayTo = "nothing";
    if (difference.replaySent) {
        replayTo = "to " + JoinIds(difference.recipients);
        replayLines = DescribeMessage(difference.bytes);
    }

    // Lines that differ from the other side's are marked.
    const auto print = [this](const char* who, const std::string& to, const std::vector<std::string>& lines,
                              const std::vector<std::string>& other) {
        m_out << "  " << who << " sent " << to << "\n";
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const bool differs = !other.empty() && (i >= other.size() || other[i] != lines[i]);
            m_out << (differs ? "  ! " : "    ") << lines[i] << "\n";
        }
    };
    print("journal:", journalTo, journalLines, replayLines);
    print("replay: ", replayTo, replayLines, journalLines);
}
