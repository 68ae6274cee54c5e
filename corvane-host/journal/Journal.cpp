#include "journal/Journal.h"

#include <boost/crc.hpp>

#include <cstring>
#include <fstream>

namespace Journal {

namespace {

void PutLE(std::string& out, uint64_t value, int bytes)
{
    for (int i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    }
}

uint64_t GetLE(std::string_view in, std::size_t at, int bytes)
{
    uint64_t value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= uint64_t{static_cast<uint8_t>(in[at + static_cast<std::size_t>(i)])} << (8 * i);
    }
    return value;
}

std::string At(uint64_t offset) { return " at byte offset " + std::to_string(offset); }

} // namespace

const char* RecordName(ERecord type)
{
    switch (type) {
    case ERecord::Start:
        return "start";
    case ERecord::Login:
        return "login";
    case ERecord::Logout:
        return "logout";
    case ERecord::Drop:
        return "drop";
    case ERecord::Message:
        return "message";
    case ERecord::Timer:
        return "timer";
    case ERecord::SendHash:
    case ERecord::SendFull:
        return "send";
    case ERecord::Stop:
        return "stop";
    case ERecord::Resume:
        return "resume";
    }
    return "unknown";
}

bool IsOutput(ERecord type) { return type == ERecord::SendHash || type == ERecord::SendFull; }

uint64_t HashSend(const std::vector<uint32_t>& recipients, std::string_view bytes)
{
    // FNV-1a: stable across builds and platforms, which is all it needs.
    uint64_t hash = 0xcbf29ce484222325ull;
    const auto mix = [&hash](uint8_t byte) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    };
    const auto mix32 = [&mix](uint32_t value) {
        for (int i = 0; i < 4; ++i) {
            mix(static_cast<uint8_t>(value >> (8 * i)));
        }
    };
    mix32(static_cast<uint32_t>(recipients.size()));
    for (uint32_t id : recipients) {
        mix32(id);
    }
    for (char c : bytes) {
        mix(static_cast<uint8_t>(c));
    }
    return hash;
}

uint32_t Crc32(const void* data, std::size_t size)
{
    boost::crc_32_type crc;
    crc.process_bytes(data, size);
    return crc.checksum();
}

std::string EncodeHeader(const CHeader& header)
{
    std::string out(kMagic, sizeof kMagic);
    PutLE(out, header.version, 4);
    PutLE(out, header.flags, 4);
    PutLE(out, header.startMicros, 8);
    PutLE(out, Crc32(out.data(), out.size()), 4);
    return out;
}

void AppendRecord(std::string& out, ERecord type, uint64_t nanos, std::string_view payload)
{
    const std::size_t head = out.size();
    PutLE(out, payload.size(), 4);
    out.push_back(static_cast<char>(type));
    PutLE(out, nanos, 8);
    PutLE(out, Crc32(out.data() + head, out.size() - head), 4);
    out.append(payload);
    PutLE(out, Crc32(payload.data(), payload.size()), 4);
}

uint32_t CRecord::UserId() const
{
    if (payload.size() < 4 || (type != ERecord::Message && payload.size() != 4)) {
        throw CJournalError(std::string("malformed ") + RecordName(type) + " record" + At(offset));
    }
    return static_cast<uint32_t>(GetLE(payload, 0, 4));
}

std::string_view CRecord::Bytes() const
{
    std::string_view all = payload;
    if (type == ERecord::Message) {
        UserId();
        return all.substr(4);
    }
    return all.substr(4 + 4 * Recipients().size());
}

uint32_t CRecord::TimerHandle() const
{
    if (payload.size() != 4) {
        throw CJournalError("malformed timer record" + At(offset));
    }
    return static_cast<uint32_t>(GetLE(payload, 0, 4));
}

uint64_t CRecord::Hash() const
{
    if (payload.size() != 8) {
        throw CJournalError("malformed send record" + At(offset));
    }
    return GetLE(payload, 0, 8);
}

std::vector<uint32_t> CRecord::Recipients() const
{
    const uint64_t count = payload.size() >= 4 ? GetLE(payload, 0, 4) : ~uint64_t{0};
    if (count > (payload.size() - 4) / 4) {
        throw CJournalError("malformed send record" + At(offset));
    }
    std::vector<uint32_t> ids(static_cast<std::size_t>(count));
    for (std::size_t i = 0; i < count; ++i) {
        ids[i] = static_cast<uint32_t>(GetLE(payload, 4 + 4 * i, 4));
    }
    return ids;
}

CJournalReader::CJournalReader(const std::filesystem::path& path)
{
    auto file = std::make_unique<std::ifstream>(path, std::ios::binary);
    if (!*file) {
        throw CJournalError("cannot open journal " + path.string());
    }
    m_in = std::move(file);
    ReadHeader(path.string());
}

CJournalReader::CJournalReader(std::unique_ptr<std::istream> in, const std::string& name) : m_in(std::move(in))
{
    ReadHeader(name);
}

void CJournalReader::ReadHeader(const std::string& name)
{
    m_in->seekg(0, std::ios::end);
    const std::streamoff size = m_in->tellg();
    m_in->seekg(0);
    if (size < 0 || !*m_in) {
        throw CJournalError("cannot read journal " + name);
    }
    m_size = static_cast<uint64_t>(size);
    std::string head(kHeaderSize, '\0');
    if (m_size < kHeaderSize || !m_in->read(head.data(), kHeaderSize) ||
        std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) {
        throw CJournalError(name + " is not a journal");
    }
    if (GetLE(head, kHeaderSize - 4, 4) != Crc32(head.data(), kHeaderSize - 4)) {
        throw CJournalError("checksum error in the journal header" + At(0));
    }
    m_header.version = static_cast<uint32_t>(GetLE(head, 8, 4));
    m_header.flags = static_cast<uint32_t>(GetLE(head, 12, 4));
    m_header.startMicros = GetLE(head, 16, 8);
    if (m_header.version != kVersion) {
        throw CJournalError("journal version " + std::to_string(m_header.version) + " is not supported (this build reads " +
                            std::to_string(kVersion) + ")");
    }
    if ((m_header.flags & ~kFlagFullOutputs) != 0) {
        throw CJournalError("journal flags " + std::to_string(m_header.flags) + " are not known to this build");
    }
}

std::optional<CRecord> CJournalReader::Next()
{
    if (m_tornAt || m_pos == m_size) {
        return std::nullopt;
    }
    const uint64_t start = m_pos;
    const uint64_t left = m_size - start;
    std::string head(kFrameHeadSize, '\0');
    if (left < kFrameHeadSize || !m_in->read(head.data(), kFrameHeadSize)) {
        m_tornAt = start;
        return std::nullopt;
    }
    if (GetLE(head, 13, 4) != Crc32(head.data(), 13)) {
        throw CJournalError("checksum error in record " + std::to_string(m_number + 1) + "'s frame, bytes " +
                            std::to_string(start) + ".." + std::to_string(start + kFrameHeadSize - 1));
    }
    const auto size = static_cast<uint32_t>(GetLE(head, 0, 4));
    if (size > kMaxPayload) {
        throw CJournalError("impossible size " + std::to_string(size) + " of record " + std::to_string(m_number + 1) +
                            At(start));
    }
    // Checked before reading, so that a size no file holds costs nothing.
    if (left < kFrameHeadSize + uint64_t{size} + kFrameTailSize) {
        m_tornAt = start;
        return std::nullopt;
    }
    CRecord record;
    record.payload.resize(size);
    char tail[kFrameTailSize];
    if (!m_in->read(record.payload.data(), size) || !m_in->read(tail, kFrameTailSize)) {
        throw CJournalError("cannot read record " + std::to_string(m_number + 1) + At(start));
    }
    if (GetLE(std::string_view(tail, kFrameTailSize), 0, 4) != Crc32(record.payload.data(), size)) {
        throw CJournalError("checksum error in record " + std::to_string(m_number + 1) + ", bytes " +
                            std::to_string(start) + ".." +
                            std::to_string(start + kFrameHeadSize + size + kFrameTailSize - 1));
    }
    record.number = ++m_number;
    record.offset = start;
    record.type = static_cast<ERecord>(static_cast<uint8_t>(head[4]));
    record.nanos = GetLE(head, 5, 8);
    CheckPlace(record);
    m_pos = start + kFrameHeadSize + size + kFrameTailSize;
    return record;
}

// Refuses what CJournalWriter never writes, before anyone acts on it.
void CJournalReader::CheckPlace(const CRecord& record)
{
    const auto refuse = [&record](const std::string& why) {
        throw CJournalError("record " + std::to_string(record.number) + At(record.offset) + ": " + why);
    };
    const std::size_t size = record.payload.size();
    const auto expectSize = [&](bool fits, const char* writes) {
        if (!fits) {
            refuse(std::string("a ") + RecordName(record.type) + " record of " + std::to_string(size) +
                   " payload bytes (a host writes " + writes + ")");
        }
    };
    const bool full = (m_header.flags & kFlagFullOutputs) != 0;
    switch (record.type) {
    case ERecord::Start:
    case ERecord::Stop:
        expectSize(size == 0, "none");
        break;
    case ERecord::Login:
    case ERecord::Logout:
    case ERecord::Drop:
    case ERecord::Resume:
    case ERecord::Timer:
        expectSize(size == 4, "4");
        break;
    case ERecord::Message:
        // The user id, then at least the message header the host routed by.
        expectSize(size >= 8, "8 or more");
        break;
    case ERecord::SendHash:
        if (full) {
            refuse("a hashed send in a journal of full sends");
        }
        expectSize(size == 8, "8");
        break;
    case ERecord::SendFull:
        if (!full) {
            refuse("a full send in a journal of hashed sends");
        }
        expectSize(size >= 4 && GetLE(record.payload, 0, 4) <= (size - 4) / 4, "4 per recipient and the bytes");
        break;
    default:
        refuse("unknown record type " + std::to_string(static_cast<unsigned>(record.type)));
    }
    if (!m_started && record.type != ERecord::Start) {
        refuse(std::string("a ") + RecordName(record.type) + " record before the start record");
    }
    if (m_started && record.type == ERecord::Start) {
        refuse("a second start record");
    }
    // Only the services' Uninit runs after the stop record, and it can only send.
    if (m_stopped && !IsOutput(record.type)) {
        refuse(std::string("a ") + RecordName(record.type) + " record after the stop record");
    }
    m_started = true;
    m_stopped = m_stopped || record.type == ERecord::Stop;
}

} // namespace Journal
