#include "game/ModuleLoader.h"

#include "ops/StartupError.h"

#include <system_error>

namespace fs = std::filesystem;

#ifndef CORVANE_INSTALL_MODULE_RELDIR
#define CORVANE_INSTALL_MODULE_RELDIR "../lib/corvane"
#endif

void CModuleLoader::RequireFile(const fs::path& path)
{
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) {
        throw CStartupError("cannot load module " + path.string() + ": no such file");
    }
}

fs::path CModuleLoader::DefaultPath()
{
    const fs::path dir = ExecutableDir();
    if (dir.empty()) {
        return fs::path(kFileName);
    }
    std::error_code ec;
    const fs::path installed = (dir / CORVANE_INSTALL_MODULE_RELDIR / kFileName).lexically_normal();
    return fs::is_regular_file(installed, ec) ? installed : dir / kFileName;
}
