#include "host/Utility.h"
#include "support/FakeHost.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <optional>

#if !defined(_WIN32)
#include <dlfcn.h>
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

TEST(CodePage, WhatTheCodePageLacksBecomesItsDefaultCharacter)
{
    // No single-byte code page holds both a CJK ideograph and the euro sign.
    const std::string ansi = Utf8ToAnsi("1 \xE4\xB8\xAD 2 \xE2\x82\xAC 3");
    if (ansi != "1 \xE4\xB8\xAD 2 \xE2\x82\xAC 3") {
        EXPECT_TRUE(ansi.starts_with("1 ") && ansi.ends_with(" 3")) << Hex(ansi);
        EXPECT_NE(ansi.find('?'), std::string::npos) << Hex(ansi);
    }
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
