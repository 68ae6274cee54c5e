#include "game/ModuleLoader.h"

#include "ops/StartupError.h"

#include <string>
#include <system_error>

#include <dlfcn.h>

namespace fs = std::filesystem;

const char* const CModuleLoader::kFileName = "libcorvane.so";

CModuleLoader::CModuleLoader(const fs::path& path)
{
    RequireFile(path);
    // An explicit path keeps dlopen from searching the library path.
    const fs::path explicitPath = path.has_parent_path() ? path : fs::path(".") / path;
    m_handle = dlopen(explicitPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        throw CStartupError("cannot load module " + path.string() + ": " + (why ? why : "unknown error"));
    }
    m_start = reinterpret_cast<PFN_KVServerStart>(dlsym(m_handle, KV_SERVER_START_NAME));
    if (m_start == nullptr) {
        dlclose(m_handle);
        m_handle = nullptr;
        throw CStartupError("module " + path.string() + " does not export " KV_SERVER_START_NAME);
    }
}

CModuleLoader::~CModuleLoader()
{
    if (m_handle != nullptr) {
        dlclose(m_handle);
    }
}

fs::path CModuleLoader::ExecutableDir()
{
    std::error_code ec;
    return fs::read_symlink("/proc/self/exe", ec).parent_path();
}
