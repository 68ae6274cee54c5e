#include "archive/Archive.h"
#include "host/Utility.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>

#if defined(_WIN32)
#include <windows.h>
#else
#include "host/IconvRun.h"

#include <dlfcn.h>

#include <bit>
#endif

namespace {

TEST(AbsDiff, WrapsLikeThe32BitArithmeticItStandsFor)
{
    struct Case {
        int32_t a, b, expected;
    };
    const Case cases[] = {
        {5, 3, 2},
        {3, 5, 2},
        {-5, 5, 10},
        {0, 0, 0},
        {INT32_MAX, -1, INT32_MIN}, // the difference 2^31 wraps
        {INT32_MIN, 0, INT32_MIN},
        {INT32_MAX, INT32_MIN, 1},
        {INT32_MIN, INT32_MAX, 1},
        {-1, INT32_MAX, INT32_MIN},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(AbsDiff(c.a, c.b), c.expected) << c.a << " - " << c.b;
    }
}

TEST(ModuleDir, KeepsEverythingUpToTheLastSeparator)
{
    const std::string s(1, kPathSeparator);
    EXPECT_EQ(ModuleDirFromFileName("x" + s + "lib" + s + "corvane.dll"), "x" + s + "lib" + s);
    EXPECT_EQ(ModuleDirFromFileName(s + "corvane.dll"), s);
    EXPECT_EQ(ModuleDirFromFileName("x" + s), "x" + s);
    EXPECT_EQ(ModuleDirFromFileName("corvane.dll"), "corvane.dll");
    EXPECT_EQ(ModuleDirFromFileName(""), "");
}

TEST(ModuleDir, OfTheMainExecutableIsWhereThisTestLives)
{
    const std::string dir = GetModuleDir(nullptr);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), kPathSeparator);
    EXPECT_TRUE(std::filesystem::path(dir).is_absolute()) << dir;
    EXPECT_TRUE(std::filesystem::is_regular_file(dir + CORVANE_TEST_EXE_NAME)) << dir;
}

TEST(ModuleDir, OfAnUnknownHandleIsEmpty)
{
    int notAModule = 0;
    EXPECT_EQ(GetModuleDir(&notAModule), "");
}

// A statically linked program has no shared library loaded to ask about.
#if !defined(_WIN32) && !defined(CORVANE_STATIC_PROGRAM)
TEST(ModuleDir, OfALoadedLibraryIsItsDirectory)
{
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    const std::string dir = GetModuleDir(libc);
    dlclose(libc);
    ASSERT_FALSE(dir.empty());
    EXPECT_EQ(dir.back(), '/');
    EXPECT_TRUE(std::filesystem::exists(dir + "libc.so.6")) << dir;

    void* self = dlopen(nullptr, RTLD_LAZY);
    EXPECT_EQ(GetModuleDir(self), GetModuleDir(nullptr));
    dlclose(self);
}
#endif

TEST(CodePage, EmptyAndAsciiPassUnchanged)
{
    EXPECT_EQ(AnsiToUtf8(""), "");
    EXPECT_EQ(Utf8ToAnsi(""), "");
    const std::string ascii = "Corvane 1.0 - plain text!";
    EXPECT_EQ(AnsiToUtf8(ascii), ascii);
    EXPECT_EQ(Utf8ToAnsi(ascii), ascii);
}

TEST(CodePage, StopsAtTheFirstZeroByte)
{
    const std::string withZero("ab\0cd", 5);
    EXPECT_EQ(AnsiToUtf8(withZero), "ab");
    EXPECT_EQ(Utf8ToAnsi(withZero), "ab");
}

// U+FFFD, the replacement character, in UTF-8.
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(CodePage, InvalidUtf8IsReplacedAndTheRestSurvives)
{
    const std::string fffd = Utf8ToAnsi(kReplacement);
    ASSERT_FALSE(fffd.empty());
    EXPECT_EQ(Utf8ToAnsi("a\xFF" "b"), "a" + fffd + "b");
    EXPECT_EQ(Utf8ToAnsi("\xC3\x28"), fffd + "(");
    EXPECT_EQ(Utf8ToAnsi("x\x80y\xBFz"), "x" + fffd + "y" + fffd + "z");
    for (const char* bad : {"\xE4\xB8", "\xED\xA0\x80", "\xC0\xAF"}) {
        const std::string ansi = Utf8ToAnsi(std::string("<") + bad + ">");
        EXPECT_TRUE(ansi.starts_with("<" + fffd) && ansi.ends_with(fffd + ">")) << Hex(ansi);
    }
}

#if defined(_WIN32)
const CodePage kUtf8 = CP_UTF8;
const CodePage kWestern = 1252;
bool HasWestern()
{
    return true;
}
#else
const CodePage kUtf8 = "UTF-8";
const CodePage kWestern = "CP1252";
bool HasWestern()
{
    iconv_t cd = iconv_open(kWestern.c_str(), kUtf8.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return false;
    }
    iconv_close(cd);
    return true;
}
#endif
// glibc converts CP1252 through a module of its own, which a system may
// leave out.
const char* const kNoWestern = "code page 1252 is not available to this program";

TEST(CodePage, WhatTheCodePageLacksBecomesItsDefaultCharacter)
{
    if (!HasWestern()) {
        GTEST_SKIP() << kNoWestern;
    }
    // 1252 has the euro sign (0x80) but no CJK ideograph.
    EXPECT_EQ(ConvertCodePage(kWestern, kUtf8, "1 \xE4\xB8\xAD 2 \xE2\x82\xAC 3"), "1 ? 2 \x80 3");
    EXPECT_EQ(ConvertCodePage(kUtf8, kWestern, "1 \x80 3"), "1 \xE2\x82\xAC 3");
}

// Many characters of several bytes each, after a replacement and between two.
TEST(CodePage, TextAfterAReplacementConvertsWhole)
{
    std::string text;
    for (int i = 0; i < 100; ++i) {
        text += "\xE4\xB8\xAD\xE6\x96\x87 \xF0\x9F\x98\x80 ";
    }
    EXPECT_EQ(ConvertCodePage(kUtf8, kUtf8, "\xFF" + text + "\xFF" + text),
              kReplacement + text + kReplacement + text);
}

// Where the Windows conversions and the POSIX ones part ways.
TEST(CodePage, WhereTheSystemsDiffer)
{
    if (!HasWestern()) {
        GTEST_SKIP() << kNoWestern;
    }
    const std::string alphaAndAMacron = "\xCE\xB1 \xC4\x80";
    const std::string cutShort = "<\xE4\xB8>"; // the first two bytes of a three-byte sequence
#if defined(_WIN32)
    // Windows maps a character the code page lacks to a look-alike where its
    // table has one, replaces a cut-short sequence once, and reads byte 0x81
    // of 1252 as U+0081.
    EXPECT_EQ(ConvertCodePage(kWestern, kUtf8, alphaAndAMacron), "a A");
    EXPECT_EQ(ConvertCodePage(kUtf8, kUtf8, cutShort), "<" + kReplacement + ">");
    EXPECT_EQ(ConvertCodePage(kWestern, kUtf8, cutShort), "<?>");
    EXPECT_EQ(ConvertCodePage(kUtf8, kWestern, "\x81"), "\xC2\x81");
#else
    // iconv has no look-alikes, replaces each byte of a cut-short sequence,
    // and has no character for byte 0x81 of 1252.
    EXPECT_EQ(ConvertCodePage(kWestern, kUtf8, alphaAndAMacron), "? ?");
    EXPECT_EQ(ConvertCodePage(kUtf8, kUtf8, cutShort), "<" + kReplacement + kReplacement + ">");
    EXPECT_EQ(ConvertCodePage(kWestern, kUtf8, cutShort), "<?" "?>");
    EXPECT_EQ(ConvertCodePage(kUtf8, kWestern, "\x81"), kReplacement);
#endif
}

// Windows' Western code page, and a Latin-1 locale elsewhere.
TEST(CodePage, WesternCodePageReplacesWithAQuestionMark)
{
    if (Utf8ToAnsi("\xC3\xA9") != "\xE9") {
        GTEST_SKIP() << "the code page is not a Western one";
    }
    EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9 \xE4\xB8\xAD!"), "caf\xE9 ?!");
    EXPECT_EQ(Utf8ToAnsi("a\xFF" "b"), "a?b");
    EXPECT_EQ(AnsiToUtf8("caf\xE9"), "caf\xC3\xA9");
}

// GBK: Windows' code page 936, and a GBK locale elsewhere. The archive keeps
// its length message in it.
TEST(CodePage, ChineseCodePageReadsTheArchiveText)
{
    if (Utf8ToAnsi("\xE4\xB8\xAD") != "\xD6\xD0") {
        GTEST_SKIP() << "the code page is not GBK";
    }
    const std::string lengthTooLong = "\xE9\x95\xBF\xE5\xBA\xA6\xE5\xA4\xAA\xE9\x95\xBF\xEF\xBC\x81";
    EXPECT_EQ(AnsiToUtf8(kLengthTooLongText), lengthTooLong);
    EXPECT_EQ(Utf8ToAnsi(lengthTooLong), kLengthTooLongText);
    // ASCII stays single bytes between double-byte characters; a Thai letter
    // has no GBK character and no look-alike.
    EXPECT_EQ(Utf8ToAnsi("a\xE4\xB8\xAD" "b \xE0\xB8\x81"), "a\xD6\xD0" "b ?");
    EXPECT_EQ(AnsiToUtf8("a\xD6\xD0" "b"), "a\xE4\xB8\xAD" "b");
}

// Whatever the code page: what converts one way without a stand-in converts
// back.
TEST(CodePage, RoundTripsWhatTheCodePageHolds)
{
    for (const char* text : {"\xC3\xA9t\xC3\xA9", "\xE4\xB8\xAD\xE6\x96\x87", "\xE2\x82\xAC 5"}) {
        const std::string ansi = Utf8ToAnsi(text);
        if (ansi.find('?') == std::string::npos) {
            EXPECT_EQ(AnsiToUtf8(ansi), text);
        }
    }
    for (int b = 0x80; b <= 0xFF; ++b) {
        const std::string ansi(1, static_cast<char>(b));
        const std::string utf8 = AnsiToUtf8(ansi);
#if defined(_WIN32)
        // In a double-byte code page (936) a lead byte alone is no
        // character, and Windows gives its default one.
        if (IsDBCSLeadByte(static_cast<BYTE>(b))) {
            EXPECT_TRUE(utf8 == "?" || utf8 == kReplacement) << b << ": " << Hex(utf8);
            continue;
        }
#endif
        ASSERT_GE(utf8.size(), 2u) << b;
        if (utf8 != kReplacement) {
            EXPECT_EQ(Utf8ToAnsi(utf8), ansi) << b;
        }
    }
}

#if !defined(_WIN32)
// Sets LC_ALL for one test and puts back what was there.
class CodePageLocale : public testing::Test {
protected:
    void SetUp() override
    {
        if (const char* v = std::getenv("LC_ALL")) {
            m_saved = v;
        }
    }
    void TearDown() override
    {
        if (m_saved) {
            setenv("LC_ALL", m_saved->c_str(), 1);
        } else {
            unsetenv("LC_ALL");
        }
    }
    static void Use(const char* locale) { setenv("LC_ALL", locale, 1); }

private:
    std::optional<std::string> m_saved;
};

TEST_F(CodePageLocale, Utf8LocaleConvertsValidTextOneToOne)
{
#if defined(CORVANE_STATIC_PROGRAM)
    GTEST_SKIP() << "newlocale of a statically linked glibc gives the ASCII code set";
#endif
    Use("C.UTF-8");
    EXPECT_EQ(AnsiToUtf8("caf\xC3\xA9"), "caf\xC3\xA9");
    EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "\xE4\xB8\xAD");
    EXPECT_EQ(AnsiToUtf8("\xE9t\xE9"), kReplacement + "t" + kReplacement);
    EXPECT_EQ(Utf8ToAnsi("a\xFF"), "a" + kReplacement);
}

// A buffer that counts the code units its resizing adds, each of them
// zero-filled before the conversion writes over it or drops it.
template <class Unit>
struct CCountingBuffer {
    using value_type = Unit;
    Unit* data() { return units.data(); }
    std::size_t size() const { return units.size(); }
    Unit& operator[](std::size_t i) { return units[i]; }
    void resize(std::size_t n)
    {
        added += n > units.size() ? n - units.size() : 0;
        units.resize(n);
    }

    std::basic_string<Unit> units;
    std::size_t added = 0;
};

TEST(CodePageRun, ReplacingEveryByteFillsALinearAmount)
{
    const char* wide = std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
    iconv_t cd = iconv_open(wide, "UTF-8");
    ASSERT_NE(cd, reinterpret_cast<iconv_t>(-1));
    const std::string in(20000, '\xFF');
    CCountingBuffer<char32_t> out;
    const bool ok = RunIconv(cd, in, out, [](char*& inPtr, std::size_t& inLeft, char32_t& standIn) {
        standIn = U'\uFFFD';
        ++inPtr;
        --inLeft;
        return true;
    });
    iconv_close(cd);
    ASSERT_TRUE(ok);
    EXPECT_EQ(out.units, std::u32string(in.size(), U'\uFFFD'));
    EXPECT_LE(out.added, 2 * (in.size() + 16)) << "the buffer is refilled at each replacement";
}

TEST_F(CodePageLocale, AsciiLocaleReplacesWhatItCannotHold)
{
    for (const char* locale : {"C", "POSIX", "xx_XX.NOT-INSTALLED"}) {
        Use(locale);
        EXPECT_EQ(AnsiToUtf8("plain"), "plain") << locale;
        EXPECT_EQ(Utf8ToAnsi("caf\xC3\xA9"), "caf?") << locale;
        EXPECT_EQ(AnsiToUtf8("caf\xE9"), "caf" + kReplacement) << locale;
        EXPECT_EQ(Utf8ToAnsi("a\xFF" "b"), "a?b") << locale;
    }
}
#endif

} // namespace
