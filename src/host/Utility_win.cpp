#include "host/Utility.h"

#include <windows.h>

#include <cstring>

namespace {

constexpr DWORD kNameBufSize = 260;

// Text up to its terminator converted to UTF-16, terminator included. The
// system's own substitution applies: a byte sequence invalid in the code page
// becomes U+FFFD. Empty only when the call itself fails.
std::wstring ToWide(UINT codePage, const std::string& in)
{
    const int n = MultiByteToWideChar(codePage, 0, in.c_str(), -1, nullptr, 0);
    if (n <= 0) {
        return {};
    }
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    if (MultiByteToWideChar(codePage, 0, in.c_str(), -1, w.data(), n) != n) {
        return {};
    }
    return w;
}

// w holds its terminator. A character that the code page lacks becomes the
// code page's default character.
std::string FromWide(UINT codePage, const std::wstring& w)
{
    if (w.empty()) {
        return {};
    }
    std::string out(4 * w.size(), '\0');
    const int written = WideCharToMultiByte(codePage, 0, w.c_str(), static_cast<int>(w.size()), out.data(),
                                            static_cast<int>(out.size()), nullptr, nullptr);
    if (written <= 0) {
        return {};
    }
    out.resize(std::strlen(out.c_str()));
    return out;
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

std::string ConvertCodePage(const CodePage& to, const CodePage& from, const std::string& in)
{
    return FromWide(to, ToWide(from, in));
}

std::string AnsiToUtf8(const std::string& ansi)
{
    return ConvertCodePage(CP_UTF8, CP_ACP, ansi);
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    return ConvertCodePage(CP_ACP, CP_UTF8, utf8);
}
