// Loads the module library and resolves its start function. The only code
// of the host that talks to the platform's dynamic loader: dlopen in
// ModuleLoader_posix.cpp, LoadLibrary in ModuleLoader_win.cpp.
#ifndef CORVANE_HOST_MODULELOADER_H
#define CORVANE_HOST_MODULELOADER_H

#include "corvane/KVServerApi.h"

#include <filesystem>

class CModuleLoader {
public:
    // Throws CStartupError naming the path when the file cannot be loaded or
    // lacks KVServerStart.
    explicit CModuleLoader(const std::filesystem::path& path);
    ~CModuleLoader();

    CModuleLoader(const CModuleLoader&) = delete;
    CModuleLoader& operator=(const CModuleLoader&) = delete;

    PFN_KVServerStart StartFunction() const { return m_start; }

    // The installed module (the library folder of the executable's prefix)
    // when there is one, otherwise the one built beside the executable.
    static std::filesystem::path DefaultPath();
    // The folder of the running executable; empty when unknown.
    static std::filesystem::path ExecutableDir();

    // The module's file name on this platform: libcorvane.so, corvane.dll.
    static const char* const kFileName;

private:
    static void RequireFile(const std::filesystem::path& path);

    void* m_handle = nullptr;
    PFN_KVServerStart m_start = nullptr;
};

#endif
