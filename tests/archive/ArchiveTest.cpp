#include "archive/Archive.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Encode(auto&&... values)
{
    std::string pkg;
    COutArchive ar(pkg);
    (ar << ... << values);
    return pkg;
}

// Runs f and returns the what() text of the archive exception it throws.
template <class F>
std::string FailureOf(F&& f)
{
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "(no exception)";
}

TEST(ArchiveEncoding, RecordsAndScalarsHaveTheirExactBytes)
{
    struct Case {
        const char* name;
        std::string bytes;
        const char* hex;
    };
    const Case cases[] = {
        {"Pos {1, -1}", Encode(Pos{1, -1}), "01 00 FF FF"},
        {"u32 0x01020304", Encode(uint32_t{0x01020304}), "04 03 02 01"},
        {"i16 -2", Encode(int16_t{-2}), "FE FF"},
        {"char + u8 + i8", Encode('A', uint8_t{0x80}, int8_t{-1}), "41 80 FF"},
        {"ObjPos {7,1,3,4}", Encode(ObjPos{7, 1, 3, 4}), "07 00 00 00 01 03 00 04 00"},
        {"seq of one ObjPos", Encode(std::vector<ObjPos>{{7, 1, 3, 4}}), "01 07 00 00 00 01 03 00 04 00"},
        {"AttackResult {2,0,0,90}", Encode(AttackResult{2, 0, 0, 90}), "02 00 00 00 00 00 5A 00"},
        {"ObjInfo", Encode(ObjInfo{1, 1, 5, 100, 10, 10, 8}), "01 00 00 00 01 05 00 64 00 0A 00 0A 00 08 00"},
        {"PlayerPos", Encode(PlayerPos{9, -1, 2}), "09 00 00 00 FF FF 02 00"},
        {"empty vector", Encode(std::vector<int32_t>{}), "00"},
        {"vecChar abc", Encode(vecChar{'a', 'b', 'c'}), "03 61 62 63"},
        {"u16 sequence", Encode(std::vector<uint16_t>{1, 0x0203}), "02 01 00 03 02"},
        {"i64 sequence", Encode(std::vector<int64_t>{-2}), "01 FE FF FF FF FF FF FF FF"},
        {"sequence of vecChar", Encode(std::vector<vecChar>{{'x'}, {}}), "02 01 78 00"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Hex(c.bytes), c.hex) << c.name;
    }
}

TEST(ArchiveEncoding, SequenceSizeIsCountPlusElements)
{
    const std::vector<std::size_t> widths = {
        Encode(std::vector<int8_t>(10)).size(),   Encode(std::vector<uint8_t>(10)).size(),
        Encode(std::vector<int16_t>(10)).size(),  Encode(std::vector<uint16_t>(10)).size(),
        Encode(std::vector<int32_t>(10)).size(),  Encode(std::vector<uint32_t>(10)).size(),
        Encode(std::vector<int64_t>(10)).size(),  Encode(std::vector<uint64_t>(10)).size(),
        Encode(vecChar(10)).size(),
    };
    EXPECT_EQ(widths, (std::vector<std::size_t>{11, 11, 21, 21, 41, 41, 81, 81, 11}));
}

TEST(ArchiveEncoding, SequenceLimitIs255)
{
    EXPECT_EQ(Encode(std::vector<ObjPos>(255)).substr(0, 1), "\xFF");
    EXPECT_EQ(Encode(vecChar(255, 'z')).size(), 256u);

    auto tooLong = [](auto seq) {
        std::string pkg;
        COutArchive ar(pkg);
        ar << uint16_t{0x6363};
        const std::string failure = FailureOf([&] { ar << seq; });
        EXPECT_EQ(Hex(pkg), "63 63") << "nothing of the refused sequence may be written";
        return failure;
    };
    const std::string lengthText = "\xB3\xA4\xB6\xC8\xCC\xAB\xB3\xA4\xA3\xA1";
    EXPECT_EQ(tooLong(std::vector<ObjPos>(256)), lengthText);
    EXPECT_EQ(tooLong(std::vector<uint32_t>(256)), lengthText);
    EXPECT_EQ(tooLong(vecChar(256)), lengthText);
    EXPECT_EQ(tooLong(std::vector<vecChar>(256)), lengthText);
    EXPECT_EQ(lengthText.size(), 10u);
}

TEST(ArchiveEncoding, WriterStartsAFreshPackage)
{
    std::string pkg = "left over";
    COutArchive ar(pkg);
    EXPECT_TRUE(pkg.empty());
    ar << uint8_t{1};
    EXPECT_EQ(pkg, std::string("\x01", 1));
}

TEST(ArchiveDecoding, RoundTripsEveryType)
{
    const std::vector<ObjPos> poses = {{1, 0, 2, 3}, {4294967295u, 1, -1, 99}};
    const std::vector<ObjInfo> infos = {{5, 1, 5, 100, 10, 10, 8}};
    const std::vector<AttackResult> results = {{2, 0, 0, 90}, {3, 1, 0, 0}};
    const std::vector<PlayerPos> players = {{8, 1, 2}};
    const std::vector<Pos> cells = {{0, 0}, {99, 99}};
    const std::vector<vecChar> chunks = {{'h', 'i'}, {}, {'!'}};
    const std::vector<uint64_t> wide = {0x0102030405060708ull};
    const std::string pkg = Encode(int32_t{-5}, uint16_t{65535}, poses, infos, results, players, cells, chunks, wide);

    CInArchive ar(pkg.data(), static_cast<int32_t>(pkg.size()));
    int32_t i32 = 0;
    uint16_t u16 = 0;
    std::vector<ObjPos> poses2;
    std::vector<ObjInfo> infos2;
    std::vector<AttackResult> results2;
    std::vector<PlayerPos> players2;
    std::vector<Pos> cells2;
    std::vector<vecChar> chunks2;
    std::vector<uint64_t> wide2;
    ar >> i32 >> u16 >> poses2 >> infos2 >> results2 >> players2 >> cells2 >> chunks2 >> wide2;
    EXPECT_EQ(i32, -5);
    EXPECT_EQ(u16, 65535);
    EXPECT_EQ(poses2, poses);
    EXPECT_EQ(infos2, infos);
    EXPECT_EQ(results2, results);
    EXPECT_EQ(players2, players);
    EXPECT_EQ(cells2, cells);
    EXPECT_EQ(chunks2, chunks);
    EXPECT_EQ(wide2, wide);

    uint8_t more = 7;
    EXPECT_EQ(FailureOf([&] { ar >> more; }), "Object not valid.");
    EXPECT_EQ(more, 7) << "a failed read leaves its target alone";
}

TEST(ArchiveDecoding, EmptyReaders)
{
    const uint8_t byte = 1;
    for (int32_t length : {0, -1, -2147483647 - 1}) {
        CInArchive ar(&byte, length);
        EXPECT_FALSE(ar.IsValid()) << length;
        uint8_t v = 0;
        EXPECT_EQ(FailureOf([&] { ar >> v; }), "Object not valid.") << length;
        char raw = 0;
        EXPECT_EQ(FailureOf([&] { ar.Read(&raw, 1); }), "Out of buffer!") << length;
    }
    CInArchive none(nullptr, 4);
    EXPECT_FALSE(none.IsValid());
}

TEST(ArchiveDecoding, ShortInputFailuresAndWhatSurvives)
{
    {
        // A short scalar field: the position is not advanced.
        const std::string pkg = Encode(uint8_t{1}, uint8_t{2}, uint8_t{3});
        CInArchive ar(pkg.data(), 3);
        uint32_t u32 = 9;
        EXPECT_EQ(FailureOf([&] { ar >> u32; }), "Object not valid.");
        EXPECT_EQ(u32, 9u);
        uint16_t u16 = 0;
        ar >> u16;
        EXPECT_EQ(u16, 0x0201);
    }
    {
        // Scalar sequence announcing 3 with 2 present: raw block read fails,
        // the vector already holds 3 elements, the new ones zero.
        const std::string pkg = Encode(uint8_t{3}, uint16_t{1}, uint16_t{2});
        CInArchive ar(pkg.data(), static_cast<int32_t>(pkg.size()));
        std::vector<uint16_t> seq = {7};
        EXPECT_EQ(FailureOf([&] { ar >> seq; }), "Out of buffer!");
        EXPECT_EQ(seq, (std::vector<uint16_t>{7, 0, 0}));
    }
    {
        // Missing count byte.
        CInArchive ar(nullptr, 0);
        std::vector<ObjPos> seq;
        EXPECT_EQ(FailureOf([&] { ar >> seq; }), "Object not valid.");
    }
    {
        // Record sequence failing in its second element's y: the first is
        // kept, the second has the fields before y.
        std::string pkg = Encode(uint8_t{3}, ObjPos{1, 1, 1, 1}, uint32_t{2}, uint8_t{0}, int16_t{5});
        CInArchive ar(pkg.data(), static_cast<int32_t>(pkg.size()));
        std::vector<ObjPos> seq(5, ObjPos{9, 9, 9, 9});
        EXPECT_EQ(FailureOf([&] { ar >> seq; }), "Object not valid.");
        ASSERT_EQ(seq.size(), 3u);
        EXPECT_EQ(seq[0], (ObjPos{1, 1, 1, 1}));
        EXPECT_EQ(seq[1], (ObjPos{2, 0, 5, 9}));
        EXPECT_EQ(seq[2], (ObjPos{9, 9, 9, 9}));
    }
    {
        // Decoding a count of 2 into a vector of 5 leaves exactly 2.
        const std::string pkg = Encode(std::vector<int32_t>{4, 5});
        CInArchive ar(pkg.data(), static_cast<int32_t>(pkg.size()));
        std::vector<int32_t> seq(5, 1);
        ar >> seq;
        EXPECT_EQ(seq, (std::vector<int32_t>{4, 5}));
    }
    {
        // vecChar shorter than its count.
        const std::string pkg = Encode(uint8_t{3}, 'A', 'B');
        CInArchive ar(pkg.data(), static_cast<int32_t>(pkg.size()));
        vecChar msg;
        EXPECT_EQ(FailureOf([&] { ar >> msg; }), "Out of buffer!");
    }
}

TEST(ArchiveDecoding, ExhaustedReaderBecomesEmpty)
{
    const std::string pkg = Encode(uint8_t{1});
    CInArchive ar(pkg.data(), 1);
    uint8_t v = 0;
    ar >> v;
    EXPECT_FALSE(ar.IsValid());
    EXPECT_FALSE(ar.CanRead(0)) << "even a read of 0 bytes fails on an empty reader";
    std::vector<int32_t> empty = {3};
    EXPECT_EQ(FailureOf([&] { ar >> empty; }), "Object not valid.");
}

TEST(StringConversions, ShortString)
{
    struct Case {
        std::size_t length;
        bool truncate;
        bool result;
        std::size_t converted; // size of the vector afterwards
    };
    const Case cases[] = {
        {0, false, true, 0},      {255, false, true, 255}, {300, false, false, 4},
        {300, true, false, 255},  {256, true, false, 255},
    };
    for (const Case& c : cases) {
        vecChar vec = {'o', 'l', 'd', '!'};
        const std::string text(c.length, 'q');
        EXPECT_EQ(StringToVecChar(text, vec, c.truncate), c.result) << c.length << " " << c.truncate;
        EXPECT_EQ(vec.size(), c.converted) << c.length << " " << c.truncate;
    }
    std::string str = "replaced";
    EXPECT_TRUE(VecCharToString(vecChar{'a', 'b'}, str));
    EXPECT_EQ(str, "ab");
}

TEST(StringConversions, ChunksOfLongText)
{
    struct Case {
        std::size_t length;
        bool result;
        std::size_t chunks;
    };
    const Case cases[] = {
        {0, true, 0},          {255, true, 1},          {256, true, 2},
        {255 * 255, true, 255}, {255 * 255 + 1, true, 256}, {256 * 255 - 1, true, 256},
        {256 * 255, false, 0}, {300 * 255, false, 0},
    };
    for (const Case& c : cases) {
        std::vector<vecChar> chunks;
        EXPECT_EQ(StringToVecChars(std::string(c.length, 'x'), chunks), c.result) << c.length;
        EXPECT_EQ(chunks.size(), c.chunks) << c.length;
    }

    std::string text;
    for (int i = 0; i < 600; ++i) {
        text += static_cast<char>('a' + i % 26);
    }
    std::vector<vecChar> chunks = {{'p', 'r', 'e'}};
    ASSERT_TRUE(StringToVecChars(text, chunks));
    ASSERT_EQ(chunks.size(), 4u) << "new chunks follow what the list held";
    EXPECT_EQ(chunks[3].size(), 90u);
    std::string joined = "start:";
    EXPECT_TRUE(VecCharsToString(chunks, joined));
    EXPECT_EQ(joined, "start:pre" + text);

    std::vector<vecChar> tooMany;
    ASSERT_TRUE(StringToVecChars(std::string(255 * 255 + 1, 'x'), tooMany));
    std::string pkg;
    COutArchive ar(pkg);
    EXPECT_EQ(FailureOf([&] { ar << tooMany; }), "\xB3\xA4\xB6\xC8\xCC\xAB\xB3\xA4\xA3\xA1");
}

} // namespace
