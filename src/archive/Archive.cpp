#include "archive/Archive.h"

namespace archive_detail {

void ThrowOutOfBuffer()
{
    throw CArchiveException(kOutOfBufferText);
}

void ThrowObjectNotValid()
{
    throw CArchiveException(kObjectNotValidText);
}

void ThrowLengthTooLong()
{
    throw CArchiveException(kLengthTooLongText);
}

} // namespace archive_detail

COutArchive& operator<<(COutArchive& ar, const std::vector<vecChar>& seq)
{
    const uint8_t iSize = archive_detail::CheckedCount(seq.size());
    ar << iSize;
    for (const vecChar& vec : seq) {
        ar << vec;
    }
    return ar;
}

CInArchive& operator>>(CInArchive& ar, std::vector<vecChar>& seq)
{
    uint8_t iSize = 0;
    ar >> iSize;
    seq.resize(iSize);
    for (vecChar& vec : seq) {
        ar >> vec;
    }
    return ar;
}

bool StringToVecChar(const std::string& str, vecChar& vec, bool truncate)
{
    bool result = true;
    std::size_t n = str.size();
    if (n > kMaxSeqCount) {
        if (!truncate) {
            return false;
        }
        n = kMaxSeqCount;
        result = false;
    }
    vec.assign(str.begin(), str.begin() + static_cast<std::ptrdiff_t>(n));
    return result;
}

bool VecCharToString(const vecChar& vec, std::string& str)
{
    str.assign(vec.begin(), vec.end());
    return true;
}

bool StringToVecChars(const std::string& str, std::vector<vecChar>& chunks)
{
    const std::size_t q = str.size() / kMaxSeqCount;
    const std::size_t r = str.size() % kMaxSeqCount;
    if (q > kMaxSeqCount) {
        return false;
    }
    for (std::size_t i = 0; i < q; ++i) {
        vecChar vec;
        StringToVecChar(str.substr(i * kMaxSeqCount, kMaxSeqCount), vec, false);
        chunks.push_back(std::move(vec));
    }
    if (r > 0) {
        vecChar vec;
        StringToVecChar(str.substr(q * kMaxSeqCount), vec, false);
        chunks.push_back(std::move(vec));
    }
    return true;
}

bool VecCharsToString(const std::vector<vecChar>& chunks, std::string& str)
{
    std::string strTemp;
    for (const vecChar& vec : chunks) {
        VecCharToString(vec, strTemp);
        str += strTemp;
    }
    return true;
}
