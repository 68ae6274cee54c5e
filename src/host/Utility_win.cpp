#include "host/Utility.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr DWORD kNameBufSize = 260;

// Text up to its terminator converted to UTF-16, terminator included; empty
// when a byte is not valid in the code page.
std::wstring ToWide(UINT codePage, const std::string& in)
{
    const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.c_str(), -1, nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.c_str(), -1, w.data(), n) != n) {
        return {};
    }
    return w;
}

// w holds its terminator. A character that the code page lacks fails the
// conversion rather than turning into a look-alike or a default character.
std::string FromWide(UINT codePage, const std::wstring& w)
{
    if (w.empty()) {
        return {};
    }
    const int n = static_cast<int>(w.size());
    std::string out(4 * w.size(), '\0');
    const int outSize = static_cast<int>(out.size());
    int written = 0;
    if (codePage == CP_UTF8) {
        written = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, w.c_str(), n, out.data(), outSize,
                                      nullptr, nullptr);
    } else {
        BOOL usedDefault = FALSE;
        written = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, w.c_str(), n, out.data(), outSize,
                                      nullptr, &usedDefault);
        if (usedDefault) {
            written = 0;
        }
    }
    if (written <= 0) {
        return {};
    }
    out.resize(std::strlen(out.c_str()));
    return out;
}

// The system may run with UTF-8 as its ANSI code page, which takes the
// stricter UTF-8 flags.
UINT AnsiCodePage()
{
    return GetACP() == CP_UTF8 ? CP_UTF8 : CP_ACP;
}

} // namespace

std::string GetModuleDir(ModuleHandle module)
{
    char nameBuf[kNameBufSize] = {};
    const DWORD n = GetModuleFileNameA(static_cast<HMODULE>(module), nameBuf, kNameBufSize);
    if (n == 0) {
        return {};
    }
    // A name longer than the buffer comes back cut short, and on old systems
    // without its terminator.
    return ModuleDirFromFileName(std::string_view(nameBuf, strnlen(nameBuf, kNameBufSize)));
}

std::string AnsiToUtf8(const std::string& ansi)
{
    return FromWide(CP_UTF8, ToWide(AnsiCodePage(), ansi));
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    return FromWide(AnsiCodePage(), ToWide(CP_UTF8, utf8));
}
