#include "journal/Journal.h"

#include <boost/crc.hpp>

#include <cstring>
#include <fstream>
#include <iterator>

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
    std::vector<uint32_t> ids(count);
    for (std::size_t i = 0; i < count; ++i) {
        ids[i] = static_cast<uint32_t>(GetLE(payload, 4 + 4 * i, 4));
    }
    return ids;
}

CJournalReader::CJournalReader(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw CJournalError("cannot open journal " + path.string());
    }
    m_data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (m_data.size() < kHeaderSize || std::memcmp(m_data.data(), kMagic, sizeof kMagic) != 0) {
        throw CJournalError(path.string() + " is not a journal");
    }
    if (GetLE(m_data, kHeaderSize - 4, 4) != Crc32(m_data.data(), kHeaderSize - 4)) {
        throw CJournalError("checksum error in the journal header" + At(0));
    }
    m_header.version = static_cast<uint32_t>(GetLE(m_data, 8, 4));
    m_header.flags = static_cast<uint32_t>(GetLE(m_data, 12, 4));
    m_header.startMicros = GetLE(m_data, 16, 8);
    if (m_header.version != kVersion) {
        throw CJournalError("journal version " + std::to_string(m_header.version) + " is not supported (this build reads " +
                            std::to_string(kVersion) + ")");
    }
}

std::optional<CRecord> CJournalReader::Next()
{
    if (m_tornAt || m_pos == m_data.size()) {
        return std::nullopt;
    }
    const std::size_t start = m_pos;
    const std::size_t left = m_data.size() - start;
    if (left < kFrameHeadSize) {
        m_tornAt = start;
        return std::nullopt;
    }
    if (GetLE(m_data, start + 13, 4) != Crc32(m_data.data() + start, 13)) {
        throw CJournalError("checksum error in record " + std::to_string(m_number + 1) + "'s frame, bytes " +
                            std::to_string(start) + ".." + std::to_string(start + kFrameHeadSize - 1));
    }
    const auto size = static_cast<uint32_t>(GetLE(m_data, start, 4));
    if (size > kMaxPayload) {
        throw CJournalError("impossible record size " + std::to_string(size) + At(start));
    }
    if (left < kFrameHeadSize + size + kFrameTailSize) {
        m_tornAt = start;
        return std::nullopt;
    }
    const std::size_t body = start + kFrameHeadSize;
    if (GetLE(m_data, body + size, 4) != Crc32(m_data.data() + body, size)) {
        throw CJournalError("checksum error in record " + std::to_string(m_number + 1) + ", bytes " +
                            std::to_string(start) + ".." + std::to_string(body + size + kFrameTailSize - 1));
    }
    CRecord record;
    record.number = ++m_number;
    record.offset = start;
    record.type = static_cast<ERecord>(static_cast<uint8_t>(m_data[start + 4]));
    record.nanos = GetLE(m_data, start + 5, 8);
    record.payload.assign(m_data, body, size);
    m_pos = body + size + kFrameTailSize;
    return record;
}

} // namespace Journal
