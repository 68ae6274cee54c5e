// Small process utilities: the directory of a loaded module, conversions
// between the system's "ANSI" code page and UTF-8, and the distance of two
// integers. Stateless; safe to call from any thread.
#ifndef CORVANE_HOST_UTILITY_H
#define CORVANE_HOST_UTILITY_H

#include <cstdint>
#include <string>
#include <string_view>

// A loaded module: an HMODULE on Windows, a dlopen() handle elsewhere.
using ModuleHandle = void*;

#if defined(_WIN32)
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// The directory of the module's file, with its trailing separator; null
// stands for the main executable. Empty when the system cannot name the file.
std::string GetModuleDir(ModuleHandle module);

// fileName up to and including its last separator; the whole of it when it
// has none.
std::string ModuleDirFromFileName(std::string_view fileName);

// The "ANSI" code page is the system's one on Windows and the code set of the
// environment's locale (LC_ALL, LC_CTYPE, LANG) elsewhere. Both conversions
// stop at the first zero byte. What does not convert is replaced and the rest
// survives: a sequence invalid in the source encoding becomes U+FFFD, a
// character the target cannot represent its default character ('?' for the
// ASCII-based code sets). Empty only when the system cannot convert at all.
// The two systems replace differently; docs/behaviour.md says how.
std::string AnsiToUtf8(const std::string& ansi);
std::string Utf8ToAnsi(const std::string& utf8);

// A code page as the system names it: a number (1252, CP_UTF8) on Windows,
// an iconv code set name ("CP1252", "UTF-8") elsewhere.
#if defined(_WIN32)
using CodePage = unsigned int;
#else
using CodePage = std::string;
#endif

// The conversion behind the two above, between any two code pages.
std::string ConvertCodePage(const CodePage& to, const CodePage& from, const std::string& in);

// |a - b| in wrapping 32-bit arithmetic: AbsDiff(INT32_MIN, 0) is INT32_MIN.
int32_t AbsDiff(int32_t a, int32_t b);

#endif
