#include "game/ModuleLoader.h"

#include "ops/StartupError.h"

#include <string>
#include <system_error>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#endif

namespace fs = std::filesystem;

#ifndef CORVANE_INSTALL_MODULE_RELDIR
#define CORVANE_INSTALL_MODULE_RELDIR "../lib/corvane"
#endif

namespace {

#if defined(_WIN32)
constexpr const char* kModuleFileName = "corvane.dll";

std::string LastErrorText() { return std::system_category().message(static_cast<int>(GetLastError())); }
#else
constexpr const char* kModuleFileName = "libcorvane.so";
#endif

} // namespace

CModuleLoader::CModuleLoader(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        throw CStartupError("cannot load module " + path.string() + ": no such file");
    }

#if defined(_WIN32)
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        throw CStartupError("cannot load module " + path.string() + ": " + LastErrorText());
    }
    m_handle = module;
    m_start =
        reinterpret_cast<PFN_KVServerStart>(reinterpret_cast<void*>(GetProcAddress(module, KV_SERVER_START_NAME)));
#else
    // An explicit path keeps dlopen from searching the library path.
    const fs::path explicitPath = path.has_parent_path() ? path : fs::path(".") / path;
    m_handle = dlopen(explicitPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        throw CStartupError("cannot load module " + path.string() + ": " + (why ? why : "unknown error"));
    }
    m_start = reinterpret_cast<PFN_KVServerStart>(dlsym(m_handle, KV_SERVER_START_NAME));
#endif

    if (m_start == nullptr) {
#if defined(_WIN32)
        FreeLibrary(static_cast<HMODULE>(m_handle));
#else
        dlclose(m_handle);
#endif
        m_handle = nullptr;
        throw CStartupError("module " + path.string() + " does not export " KV_SERVER_START_NAME);
    }
}

CModuleLoader::~CModuleLoader()
{
    if (m_handle == nullptr) {
        return;
    }
#if defined(_WIN32)
    FreeLibrary(static_cast<HMODULE>(m_handle));
#else
    dlclose(m_handle);
#endif
}

fs::path CModuleLoader::ExecutableDir()
{
#if defined(_WIN32)
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    const fs::path exe = (n > 0 && n < MAX_PATH) ? fs::path(buffer) : fs::path();
#else
    std::error_code ec;
    const fs::path exe = fs::read_symlink("/proc/self/exe", ec);
#endif
    return exe.parent_path();
}

fs::path CModuleLoader::DefaultPath()
{
    const fs::path dir = ExecutableDir();
    if (dir.empty()) {
        return fs::path(kModuleFileName);
    }
    std::error_code ec;
    const fs::path installed = (dir / CORVANE_INSTALL_MODULE_RELDIR / kModuleFileName).lexically_normal();
    return fs::is_regular_file(installed, ec) ? installed : dir / kModuleFileName;
}
