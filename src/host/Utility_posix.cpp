#include "host/Utility.h"

#include "host/IconvRun.h"

#include <dlfcn.h>
#include <langinfo.h>
#include <link.h>
#include <locale.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace {

std::string MainExecutablePath()
{
    std::vector<char> buf(256);
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) {
            return {};
        }
        if (static_cast<std::size_t>(n) < buf.size()) {
            return std::string(buf.data(), static_cast<std::size_t>(n));
        }
        buf.resize(buf.size() * 2);
    }
}

// The loaded object's file, found by walking the loader's list of loaded
// objects and asking for each one's handle, so that a handle the loader does
// not know is never dereferenced.
std::string LibraryPath(void* module)
{
    void* self = dlopen(nullptr, RTLD_LAZY);
    if (self == nullptr) {
        return {};
    }
    std::string path;
    if (module == self) {
        path = MainExecutablePath();
    } else {
        struct link_map* lm = nullptr;
        if (dlinfo(self, RTLD_DI_LINKMAP, &lm) == 0) {
            for (; lm != nullptr && path.empty(); lm = lm->l_next) {
                if (lm->l_name == nullptr || lm->l_name[0] == '\0') {
                    continue;
                }
                void* handle = dlopen(lm->l_name, RTLD_LAZY | RTLD_NOLOAD);
                if (handle == nullptr) {
                    continue;
                }
                if (handle == module) {
                    path = lm->l_name;
                }
                dlclose(handle);
            }
        }
    }
    dlclose(self);
    return path;
}

// The code set of the environment's locale, read without touching the
// process's own locale, which belongs to the host.
std::string AnsiCodeSet()
{
    locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) {
        // The environment names a locale that is not installed: the C
        // locale applies, as it would to a program calling setlocale.
        loc = newlocale(LC_CTYPE_MASK, "C", static_cast<locale_t>(nullptr));
        if (loc == static_cast<locale_t>(nullptr)) {
            return {};
        }
    }
    std::string codeSet = nl_langinfo_l(CODESET, loc);
    freelocale(loc);
    return codeSet;
}

// The code set iconv calls the library's own wide characters: UTF-32 in the
// machine's byte order.
constexpr const char* kWideCodeSet = std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
constexpr char32_t kReplacementChar = U'\uFFFD';

// Decodes the text up to its first zero byte. A byte that does not start a
// valid sequence becomes U+FFFD and decoding goes on after it; so does a
// sequence cut short by the end of the text.
std::optional<std::u32string> Decode(const std::string& from, const std::string& in)
{
    iconv_t cd = iconv_open(kWideCodeSet, from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::u32string out;
    auto replace = [](char*& inPtr, std::size_t& inLeft, char32_t& standIn) {
        if ((errno != EILSEQ && errno != EINVAL) || inLeft == 0) {
            return false;
        }
        standIn = kReplacementChar;
        ++inPtr;
        --inLeft;
        return true;
    };
    const bool ok = RunIconv(cd, std::string_view(in.c_str()), out, replace);
    iconv_close(cd);
    return ok ? std::optional(std::move(out)) : std::nullopt;
}

// Encodes text; a character that the code set cannot represent becomes '?'.
std::optional<std::string> Encode(const std::string& to, const std::u32string& text)
{
    iconv_t cd = iconv_open(to.c_str(), kWideCodeSet);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return std::nullopt;
    }
    std::string out;
    auto replace = [](char*& inPtr, std::size_t& inLeft, char& standIn) {
        if (errno != EILSEQ || inLeft < sizeof(char32_t)) {
            return false;
        }
        standIn = '?';
        inPtr += sizeof(char32_t);
        inLeft -= sizeof(char32_t);
        return true;
    };
    const bool ok = RunIconv(cd, text, out, replace);
    iconv_close(cd);
    return ok ? std::optional(std::move(out)) : std::nullopt;
}

} // namespace

std::string ConvertCodePage(const CodePage& to, const CodePage& from, const std::string& in)
{
    if (to.empty() || from.empty()) {
        return {};
    }
    const std::optional<std::u32string> wide = Decode(from, in);
    if (!wide) {
        return {};
    }
    std::optional<std::string> out = Encode(to, *wide);
    if (!out) {
        return {};
    }
    out->resize(std::strlen(out->c_str()));
    return std::move(*out);
}

std::string GetModuleDir(ModuleHandle module)
{
    const std::string name = module == nullptr ? MainExecutablePath() : LibraryPath(module);
    return ModuleDirFromFileName(name);
}

std::string AnsiToUtf8(const std::string& ansi)
{
    return ConvertCodePage("UTF-8", AnsiCodeSet(), ansi);
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    return ConvertCodePage(AnsiCodeSet(), "UTF-8", utf8);
}
