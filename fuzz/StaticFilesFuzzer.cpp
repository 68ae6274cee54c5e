// The static-file lookup: any request target, against a web root holding
// files, a folder, a link inside the root and links leading out of it. The
// invariant: whatever the target, a file found is a regular file inside the
// root.
#include "FuzzCheck.h"

#include "StaticFiles.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {

fs::path g_base;
fs::path g_root;

void Touch(const fs::path& file)
{
    std::ofstream(file) << "x";
}

void RemoveBase()
{
    std::error_code ec;
    fs::remove_all(g_base, ec);
}

bool Inside(const fs::path& file)
{
    const std::string root = g_root.string() + "/";
    return file.string().compare(0, root.size(), root) == 0;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    std::string base = (fs::temp_directory_path() / "corvane-fuzz-XXXXXX").string();
    if (mkdtemp(base.data()) == nullptr) {
        std::abort();
    }
    g_base = base;
    std::atexit(RemoveBase);
    g_root = g_base / "web";
    fs::create_directories(g_root / "js");
    fs::create_directories(g_root / "empty");
    Touch(g_root / "index.html");
    Touch(g_root / "js" / "main.js");
    Touch(g_root / "a b%.txt");
    Touch(g_base / "secret.txt");
    Touch(g_base / "web-other.txt");
    fs::create_directory_symlink(g_root / "js", g_root / "scripts");
    fs::create_symlink(g_base / "secret.txt", g_root / "leak.txt");
    fs::create_directory_symlink(g_base, g_root / "up");
    g_root = fs::canonical(g_root);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size)
{
    const std::string_view target(reinterpret_cast<const char*>(data), size);
    std::string decoded;
    if (PercentDecode(target, decoded)) {
        FUZZ_CHECK(decoded.find('\0') == std::string::npos, "a decoded NUL");
        FUZZ_CHECK(decoded.size() <= target.size(), "decoding grew the text");
    }
    const CStaticFile found = LookUpStaticFile(g_root, target);
    if (found.result == EStaticLookup::Found) {
        FUZZ_CHECK(Inside(found.file), "a file found outside the web root");
        FUZZ_CHECK(Inside(fs::canonical(found.file)), "a file found through a link out of the web root");
        FUZZ_CHECK(fs::is_regular_file(found.file), "a found file that is not a regular file");
        FUZZ_CHECK(!ContentTypeFor(found.file).empty(), "no content type");
    } else {
        FUZZ_CHECK(found.file.empty(), "a path given with a failed lookup");
    }
    return 0;
}
