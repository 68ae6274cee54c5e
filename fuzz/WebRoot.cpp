#include "WebRoot.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace fs = std::filesystem;

namespace {

fs::path g_base;

void Touch(const fs::path& file)
{
    std::ofstream(file) << "x";
}

void RemoveBase()
{
    std::error_code ec;
    fs::remove_all(g_base, ec);
}

} // namespace

fs::path MakeFuzzWebRoot()
{
    std::string base = (fs::temp_directory_path() / "corvane-fuzz-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) {
        std::abort();
    }
    g_base = base;
    std::atexit(RemoveBase);
    const fs::path root = g_base / "web";
    fs::create_directories(root / "js");
    fs::create_directories(root / "empty");
    Touch(root / "index.html");
    Touch(root / "js" / "main.js");
    Touch(root / "a b%.txt");
    Touch(g_base / "secret.txt");
    Touch(g_base / "web-other.txt");
    fs::create_directory_symlink(root / "js", root / "scripts");
    fs::create_symlink(g_base / "secret.txt", root / "leak.txt");
    fs::create_directory_symlink(g_base, root / "up");
    return fs::canonical(root);
}

bool IsBelow(const fs::path& root, const fs::path& file)
{
    const std::string prefix = root.string() + "/";
    return file.string().compare(0, prefix.size(), prefix) == 0;
}
