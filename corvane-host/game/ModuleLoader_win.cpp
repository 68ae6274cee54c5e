#include "game/ModuleLoader.h"

#include "ops/StartupError.h"

#include <string>
#include <system_error>

#include <windows.h>

namespace fs = std::filesystem;

namespace {

std::string LastErrorText() { return std::system_category().message(static_cast<int>(GetLastError())); }

} // namespace

const char* const CModuleLoader::kFileName = "corvane.dll";

CModuleLoader::CModuleLoader(const fs::path& path)
{
    RequireFile(path);
    HMODULE module = LoadLibraryW(path.c_str());
    if (module == nullptr) {
        throw CStartupError("cannot load module " + path.string() + ": " + LastErrorText());
    }
    m_handle = module;
    m_start =
        reinterpret_cast<PFN_KVServerStart>(reinterpret_cast<void*>(GetProcAddress(module, KV_SERVER_START_NAME)));
    if (m_start == nullptr) {
        FreeLibrary(module);
        m_handle = nullptr;
        throw CStartupError("module " + path.string() + " does not export " KV_SERVER_START_NAME);
    }
}

CModuleLoader::~CModuleLoader()
{
    if (m_handle != nullptr) {
        FreeLibrary(static_cast<HMODULE>(m_handle));
    }
}

fs::path CModuleLoader::ExecutableDir()
{
    wchar_t buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return (n > 0 && n < MAX_PATH) ? fs::path(buffer).parent_path() : fs::path();
}
