// The session journal: what went into the module (start, logins, logouts,
// client messages, timer fires) and what came out (every send), in order,
// each with the time since the session began. corvane-host writes it with
// --record; corvane-replay reads it and drives a fresh module the same way.
//
// File layout, all integers little-endian:
//   header  "CVJOURNL", u32 version, u32 flags, u64 wall-clock start (µs since
//           the epoch), u32 CRC-32 of the 24 bytes before it
//   record  u32 payload size, u8 type, u64 nanoseconds since the start,
//           u32 CRC-32 of these 13 bytes, the payload, u32 CRC-32 of the payload
// The frame check comes first so that a damaged size is reported as damage,
// not mistaken for a file cut short.
#ifndef CORVANE_HOST_JOURNAL_H
#define CORVANE_HOST_JOURNAL_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Journal {

inline constexpr char kMagic[8] = {'C', 'V', 'J', 'O', 'U', 'R', 'N', 'L'};
inline constexpr uint32_t kVersion = 1;
inline constexpr std::size_t kHeaderSize = 8 + 4 + 4 + 8 + 4;
inline constexpr std::size_t kFrameHeadSize = 4 + 1 + 8 + 4;
inline constexpr std::size_t kFrameTailSize = 4;
// Larger than any message a client or the module can produce.
inline constexpr uint32_t kMaxPayload = 64u << 20;

// Header flags.
inline constexpr uint32_t kFlagFullOutputs = 1;

enum class ERecord : uint8_t {
    Start = 1,   // KVServerStart and the services' Init; no payload
    Login = 2,   // u32 user id: OnUserLogin
    Logout = 3,  // u32 user id: OnUserLogout
    Drop = 4,    // u32 user id: gone while the module ran; its Logout follows later
    Message = 5, // u32 user id, then the client message, header included
    Timer = 6,   // u32 timer handle: OnTimer
    SendHash = 7, // u64 hash of the recipients and the bytes
    SendFull = 8, // u32 recipient count, the ids, then the bytes
    Stop = 9,    // the services' Uninit; no payload
    Resume = 10, // u32 user id: a new connection took the user over; the module is not called
};

const char* RecordName(ERecord type);
bool IsOutput(ERecord type);

// What a send is compared by when only its hash is kept.
uint64_t HashSend(const std::vector<uint32_t>& recipients, std::string_view bytes);

uint32_t Crc32(const void* data, std::size_t size);

struct CHeader {
    uint32_t version = kVersion;
    uint32_t flags = 0;
    uint64_t startMicros = 0;
};

std::string EncodeHeader(const CHeader& header);
// Appends one framed record to `out`.
void AppendRecord(std::string& out, ERecord type, uint64_t nanos, std::string_view payload);

struct CRecord {
    uint64_t number = 0; // 1 for the first record
    uint64_t offset = 0; // of its frame in the file
    ERecord type = ERecord::Start;
    uint64_t nanos = 0;
    std::string payload;

    // Payload fields; each checks the size and throws CJournalError.
    uint32_t UserId() const;        // Login, Logout, Drop, Resume, Message
    std::string_view Bytes() const; // Message, SendFull
    uint32_t TimerHandle() const;   // Timer
    uint64_t Hash() const;          // SendHash
    std::vector<uint32_t> Recipients() const; // SendFull
};

// A journal that cannot be read: its reason names the byte offset.
class CJournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Reads a journal record by record, one at a time: memory stays at the
// largest record, whatever the journal's length. Damage inside the file is
// an error; so is a record that no host writes (one before the start record
// or after the stop record other than the last module call's sends, a
// second start, an unknown type, a payload of the wrong size for its type,
// a send of the other kind than the header says). A file that ends inside a
// record (a host killed mid-write) ends the records there, and TornAt says
// where.
class CJournalReader {
public:
    // Throws CJournalError when the file cannot be opened or its header is
    // not a journal's.
    explicit CJournalReader(const std::filesystem::path& path);
    // The same for a journal held elsewhere than in a file; `name` names it
    // in errors.
    CJournalReader(std::unique_ptr<std::istream> in, const std::string& name);

    const CHeader& Header() const { return m_header; }

    // The next record; nothing at the end of the records. Throws
    // CJournalError, naming the record, on a checksum mismatch, an
    // impossible size or a record no host writes.
    std::optional<CRecord> Next();

    // The offset of an incomplete last record, once Next has reached it.
    std::optional<uint64_t> TornAt() const { return m_tornAt; }
    uint64_t FileSize() const { return m_size; }

private:
    void ReadHeader(const std::string& name);
    void CheckPlace(const CRecord& record);

    std::unique_ptr<std::istream> m_in;
    uint64_t m_size = 0; // when opened: later appends are not read
    CHeader m_header;
    uint64_t m_pos = kHeaderSize;
    uint64_t m_number = 0;
    bool m_started = false;
    bool m_stopped = false;
    std::optional<uint64_t> m_tornAt;
};

} // namespace Journal

#endif
