// The binary archive in which every message body is encoded: fixed-width
// little-endian integers, records as their fields back to back, and counted
// sequences (a count byte of at most 255, then the elements).
#ifndef CORVANE_ARCHIVE_ARCHIVE_H
#define CORVANE_ARCHIVE_ARCHIVE_H

#include "archive/Endian.h"
#include "archive/Records.h"

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <string>
#include <type_traits>
#include <vector>

inline constexpr uint32_t kMaxSeqCount = 255;

// The three failure texts, byte for byte. The length message is kept in the
// GBK code page that clients decode it with.
inline constexpr char kOutOfBufferText[] = "Out of buffer!";
inline constexpr char kObjectNotValidText[] = "Object not valid.";
inline constexpr char kLengthTooLongText[] = "\xB3\xA4\xB6\xC8\xCC\xAB\xB3\xA4\xA3\xA1";

// std::exception carries no text of its own on every platform.
class CArchiveException : public std::exception {
public:
    explicit CArchiveException(const char* text) noexcept : m_text(text) {}
    const char* what() const noexcept override { return m_text; }

private:
    const char* m_text;
};

// Scalars the archive reads and writes one at a time.
template <class T>
concept ArchiveScalar = std::is_integral_v<T> && !std::is_same_v<T, bool>
                        && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4);

// Element types of counted scalar sequences, moved as one block.
template <class T>
concept ArchiveSeqScalar = std::is_integral_v<T> && !std::is_same_v<T, bool>
                           && (sizeof(T) == 1 || sizeof(T) == 2 || sizeof(T) == 4
                               || sizeof(T) == 8);

namespace archive_detail {

[[noreturn]] void ThrowOutOfBuffer();
[[noreturn]] void ThrowObjectNotValid();
[[noreturn]] void ThrowLengthTooLong();

} // namespace archive_detail

// Reads a received byte range in place; never copies or owns it.
class CInArchive {
public:
    CInArchive(const void* data, int32_t length) { Attach(data, length); }
    CInArchive(const CInArchive&) = delete;
    CInArchive& operator=(const CInArchive&) = delete;

    // A length of 0 or less leaves the reader empty; no pointer past the
    // range is ever formed.
    bool Attach(const void* data, int32_t length)
    {
        if (data == nullptr || length <= 0) {
            m_cur = nullptr;
            m_end = nullptr;
        } else {
            m_cur = static_cast<const uint8_t*>(data);
            m_end = m_cur + length;
        }
        return IsValid();
    }

    // An exhausted reader (every byte consumed) becomes empty here too.
    bool IsValid()
    {
        if (m_cur != nullptr && m_cur < m_end) {
            return true;
        }
        m_cur = nullptr;
        m_end = nullptr;
        return false;
    }

    bool CanRead(uint32_t n) { return IsValid() && static_cast<std::size_t>(m_end - m_cur) >= n; }

    void Read(void* dst, uint32_t n)
    {
        if (!CanRead(n)) {
            archive_detail::ThrowOutOfBuffer();
        }
        std::memcpy(dst, m_cur, n);
        m_cur += n;
    }

    // A scalar that is not all there fails with "Object not valid."; the
    // target and the position are left as they were.
    template <ArchiveScalar T>
    CInArchive& operator>>(T& value)
    {
        if (!CanRead(sizeof(T))) {
            archive_detail::ThrowObjectNotValid();
        }
        value = archive_detail::LoadLE<T>(m_cur);
        m_cur += sizeof(T);
        return *this;
    }

    // The next n bytes, which the caller has checked with CanRead; advances.
    const uint8_t* Take(std::size_t n)
    {
        const uint8_t* p = m_cur;
        m_cur += n;
        return p;
    }

private:
    const uint8_t* m_cur = nullptr;
    const uint8_t* m_end = nullptr;
};

// Appends to one package string, which construction empties.
class COutArchive {
public:
    explicit COutArchive(std::string& pkg) : m_pkg(&pkg) { m_pkg->clear(); }
    COutArchive(const COutArchive&) = delete;
    COutArchive& operator=(const COutArchive&) = delete;

    void Write(const void* src, uint32_t n) { m_pkg->append(static_cast<const char*>(src), n); }

    template <ArchiveScalar T>
    COutArchive& operator<<(T value)
    {
        uint8_t bytes[sizeof(T)];
        archive_detail::StoreLE(bytes, value);
        Write(bytes, sizeof(T));
        return *this;
    }

    // Grows the package by n bytes and returns where they start, for writers
    // that fill a known size in one go.
    uint8_t* Grow(std::size_t n)
    {
        const std::size_t at = m_pkg->size();
        m_pkg->resize(at + n);
        return reinterpret_cast<uint8_t*>(m_pkg->data()) + at;
    }

private:
    std::string* m_pkg;
};

// ---- Records ----

template <class T>
concept ArchiveRecord = requires(const T& r, uint8_t* out, const uint8_t* in, T& w) {
    { T::kWireSize } -> std::convertible_to<std::size_t>;
    r.EncodeTo(out);
    w.DecodeFrom(in);
};

// Field by field, so that a short record keeps the fields read before the
// one that failed; the whole record at once when it is all there.
template <ArchiveRecord T>
CInArchive& operator>>(CInArchive& ar, T& rec)
{
    if (ar.CanRead(static_cast<uint32_t>(T::kWireSize))) {
        rec.DecodeFrom(ar.Take(T::kWireSize));
    } else {
        rec.ReadFields(ar);
    }
    return ar;
}

template <ArchiveRecord T>
COutArchive& operator<<(COutArchive& ar, const T& rec)
{
    rec.EncodeTo(ar.Grow(T::kWireSize));
    return ar;
}

// ---- Counted sequences ----

namespace archive_detail {

inline uint8_t CheckedCount(std::size_t n)
{
    if (n > kMaxSeqCount) {
        ThrowLengthTooLong();
    }
    return static_cast<uint8_t>(n);
}

} // namespace archive_detail

template <ArchiveSeqScalar T>
COutArchive& operator<<(COutArchive& ar, const std::vector<T>& seq)
{
    const uint8_t iSize = archive_detail::CheckedCount(seq.size());
    ar << iSize;
    if (iSize != 0) {
        if constexpr (std::endian::native == std::endian::little || sizeof(T) == 1) {
            ar.Write(seq.data(), static_cast<uint32_t>(iSize * sizeof(T)));
        } else {
            uint8_t* out = ar.Grow(iSize * sizeof(T));
            for (uint8_t i = 0; i < iSize; ++i) {
                archive_detail::StoreLE(out + i * sizeof(T), seq[i]);
            }
        }
    }
    return ar;
}

template <ArchiveSeqScalar T>
CInArchive& operator>>(CInArchive& ar, std::vector<T>& seq)
{
    uint8_t iSize = 0;
    ar >> iSize;
    seq.resize(iSize);
    if (iSize != 0) {
        // A shortfall here is "Out of buffer!": the block read is not wrapped.
        ar.Read(seq.data(), static_cast<uint32_t>(iSize * sizeof(T)));
        if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
            for (T& v : seq) {
                v = archive_detail::ByteSwap(v);
            }
        }
    }
    return ar;
}

template <ArchiveRecord T>
COutArchive& operator<<(COutArchive& ar, const std::vector<T>& seq)
{
    const uint8_t iSize = archive_detail::CheckedCount(seq.size());
    ar << iSize;
    uint8_t* out = ar.Grow(iSize * T::kWireSize);
    for (const T& rec : seq) {
        rec.EncodeTo(out);
        out += T::kWireSize;
    }
    return ar;
}

template <ArchiveRecord T>
CInArchive& operator>>(CInArchive& ar, std::vector<T>& seq)
{
    uint8_t iSize = 0;
    ar >> iSize;
    seq.resize(iSize);
    if (iSize == 0) {
        return ar;
    }
    if (ar.CanRead(static_cast<uint32_t>(iSize * T::kWireSize))) {
        const uint8_t* in = ar.Take(iSize * T::kWireSize);
        for (T& rec : seq) {
            rec.DecodeFrom(in);
            in += T::kWireSize;
        }
    } else {
        for (T& rec : seq) {
            ar >> rec;
        }
    }
    return ar;
}

COutArchive& operator<<(COutArchive& ar, const std::vector<vecChar>& seq);
CInArchive& operator>>(CInArchive& ar, std::vector<vecChar>& seq);

// ---- String conversions ----

// Fails (false) on a text over 255 bytes; with truncate set it still takes
// the first 255 bytes.
bool StringToVecChar(const std::string& str, vecChar& vec, bool truncate);
bool VecCharToString(const vecChar& vec, std::string& str);
// Splits a text into chunks of at most 255 bytes, appended to chunks.
bool StringToVecChars(const std::string& str, std::vector<vecChar>& chunks);
// Appends the joined chunks to str.
bool VecCharsToString(const std::vector<vecChar>& chunks, std::string& str);

#endif
