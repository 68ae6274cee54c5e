// The static-file lookup: any request target, against a web root holding
// files, a folder, a link inside the root and links leading out of it. The
// invariant: whatever the target, a file found is a regular file inside the
// root.
#include "FuzzCheck.h"

#include "WebRoot.h"
#include "net/StaticFiles.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace fs = std::filesystem;

namespace {
fs::path g_root;
} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    g_root = MakeFuzzWebRoot();
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
        FUZZ_CHECK(IsBelow(g_root, found.file), "a file found outside the web root");
        FUZZ_CHECK(IsBelow(g_root, fs::canonical(found.file)), "a file found through a link out of the web root");
        FUZZ_CHECK(fs::is_regular_file(found.file), "a found file that is not a regular file");
        FUZZ_CHECK(!ContentTypeFor(found.file).empty(), "no content type");
    } else {
        FUZZ_CHECK(found.file.empty(), "a path given with a failed lookup");
    }
    return 0;
}
