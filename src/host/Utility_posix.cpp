#include "host/Utility.h"

#include <dlfcn.h>
#include <iconv.h>
#include <langinfo.h>
#include <link.h>
#include <locale.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

// The text up to its first zero byte in the other encoding; empty on any
// byte sequence that is invalid or has no counterpart.
std::string Convert(const std::string& to, const std::string& from, const std::string& in)
{
    if (to.empty() || from.empty()) {
        return {};
    }
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        return {};
    }
    std::size_t inLeft = std::strlen(in.c_str());
    char* inPtr = const_cast<char*>(in.c_str());
    std::string out(4 * inLeft + 16, '\0');
    std::size_t done = 0;
    bool ok = true;
    // A last call without input writes any closing shift sequence.
    for (bool flushing = false;;) {
        char* outPtr = out.data() + done;
        std::size_t outLeft = out.size() - done;
        const std::size_t rc = flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft)
                                        : iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        done = static_cast<std::size_t>(outPtr - out.data());
        if (rc != static_cast<std::size_t>(-1)) {
            if (flushing) {
                break;
            }
            flushing = true;
        } else if (errno == E2BIG) {
            out.resize(out.size() * 2);
        } else {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    if (!ok) {
        return {};
    }
    out.resize(done);
    out.resize(std::strlen(out.c_str()));
    return out;
}

} // namespace

std::string GetModuleDir(ModuleHandle module)
{
    const std::string name = module == nullptr ? MainExecutablePath() : LibraryPath(module);
    return ModuleDirFromFileName(name);
}

std::string AnsiToUtf8(const std::string& ansi)
{
    return Convert("UTF-8", AnsiCodeSet(), ansi);
}

std::string Utf8ToAnsi(const std::string& utf8)
{
    return Convert(AnsiCodeSet(), "UTF-8", utf8);
}
