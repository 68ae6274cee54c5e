// Every archive decoder: the first byte picks a type, the rest is read as
// a chain of values of that type and the following ones. A value that
// decodes must encode back to exactly the bytes it came from; a value that
// does not must fail with one of the reader's two texts. The same input also
// drives the string conversions as text.
#include "FuzzCheck.h"

#include "archive/Archive.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

namespace {

using Types = std::tuple<uint8_t, int8_t, char, uint16_t, int16_t, uint32_t, int32_t, Pos, ObjPos, ObjInfo,
                         AttackResult, PlayerPos, std::vector<int8_t>, std::vector<uint8_t>, vecChar,
                         std::vector<int16_t>, std::vector<uint16_t>, std::vector<int32_t>, std::vector<uint32_t>,
                         std::vector<int64_t>, std::vector<uint64_t>, std::vector<Pos>, std::vector<ObjPos>,
                         std::vector<ObjInfo>, std::vector<AttackResult>, std::vector<PlayerPos>,
                         std::vector<vecChar>>;
constexpr std::size_t kTypeCount = std::tuple_size_v<Types>;

bool IsReadFailure(const char* what)
{
    return std::strcmp(what, kOutOfBufferText) == 0 || std::strcmp(what, kObjectNotValidText) == 0;
}

// Reads one value of type I at `offset`; false when the chain ends.
template <std::size_t I>
bool ReadOne(CInArchive& ar, std::string_view data, std::size_t& offset)
{
    std::tuple_element_t<I, Types> value{};
    try {
        ar >> value;
    } catch (const CArchiveException& e) {
        FUZZ_CHECK(IsReadFailure(e.what()), "unexpected failure text from a read");
        if constexpr (requires { value.size(); }) {
            // A failed sequence still holds the count it announced.
            const std::size_t count = offset < data.size() ? static_cast<uint8_t>(data[offset]) : 0;
            FUZZ_CHECK(value.size() == count, "failed sequence not sized to its count");
        }
        return false;
    }
    std::string encoded;
    COutArchive out(encoded);
    out << value;
    FUZZ_CHECK(data.substr(offset, encoded.size()) == encoded, "value does not encode back to its bytes");
    offset += encoded.size();
    return true;
}

template <std::size_t... I>
bool ReadAt(std::size_t type, CInArchive& ar, std::string_view data, std::size_t& offset,
            std::index_sequence<I...>)
{
    bool more = false;
    (void)((type == I && (more = ReadOne<I>(ar, data, offset), true)) || ...);
    return more;
}

void ReadChain(uint8_t first, std::string_view data)
{
    CInArchive ar(data.data(), static_cast<int32_t>(data.size()));
    std::size_t offset = 0;
    for (std::size_t i = first;; ++i) {
        const std::size_t before = offset;
        if (!ReadAt(i % kTypeCount, ar, data, offset, std::make_index_sequence<kTypeCount>{})) {
            break;
        }
        // An exhausted reader fails every further read, a read of nothing included.
        if (offset == data.size() || offset == before) {
            FUZZ_CHECK(offset != data.size() || !ar.CanRead(0), "reader still valid past its end");
            break;
        }
    }
}

void CheckConversions(uint8_t first, std::string_view data)
{
    // The conversions are slow next to the decoders: one input in eight
    // takes them, half of those with a text long enough for up to 256 x 255
    // bytes and more.
    if (first < 0xE0) {
        return;
    }
    // Texts a little past 256 x 255 bytes reach every branch; longer ones only cost time.
    constexpr std::size_t kLongest = 70000;
    const std::size_t repeat = first >= 0xF0 ? (first & 0x0Fu) * 17 + 1 : 1;
    std::string text;
    for (std::size_t i = 0; i < repeat && text.size() + data.size() <= kLongest; ++i) {
        text.append(data);
    }

    vecChar vec{'x'};
    const bool whole = StringToVecChar(text, vec, false);
    FUZZ_CHECK(whole == (text.size() <= kMaxSeqCount), "StringToVecChar result");
    FUZZ_CHECK(whole ? std::string(vec.begin(), vec.end()) == text : vec == vecChar{'x'},
               "StringToVecChar content");
    StringToVecChar(text, vec, true);
    FUZZ_CHECK(std::string(vec.begin(), vec.end()) == text.substr(0, kMaxSeqCount), "truncated content");

    std::vector<vecChar> chunks;
    const bool split = StringToVecChars(text, chunks);
    FUZZ_CHECK(split == (text.size() / kMaxSeqCount <= kMaxSeqCount), "StringToVecChars result");
    if (!split) {
        FUZZ_CHECK(chunks.empty(), "refused split appended chunks");
        return;
    }
    std::string joined = "<";
    VecCharsToString(chunks, joined);
    FUZZ_CHECK(joined == "<" + text, "chunks do not join back to the text");

    std::string encoded = "old";
    COutArchive out(encoded);
    try {
        out << chunks;
        FUZZ_CHECK(chunks.size() <= kMaxSeqCount, "over-long sequence written");
        std::vector<vecChar> back;
        CInArchive in(encoded.data(), static_cast<int32_t>(encoded.size()));
        in >> back;
        FUZZ_CHECK(back == chunks, "chunks do not decode back");
    } catch (const CArchiveException& e) {
        FUZZ_CHECK(std::strcmp(e.what(), kLengthTooLongText) == 0 && chunks.size() > kMaxSeqCount,
                   "unexpected failure writing chunks");
        FUZZ_CHECK(encoded.empty(), "refused sequence left bytes behind");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    // libFuzzer's buffer has exactly the input's length: the sanitizer sees
    // any read past its end.
    const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    ReadChain(data[0], rest);
    CheckConversions(data[0], rest);
    return 0;
}
