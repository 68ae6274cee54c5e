// Maps request targets to files of the web root without ever leaving it.
#ifndef CORVANE_HOST_STATICFILES_H
#define CORVANE_HOST_STATICFILES_H

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

enum class EStaticLookup {
    Found,     // file holds a regular file inside the root
    NotFound,  // nothing there (or the root itself is missing)
    Forbidden, // the target names a way out of the root
    BadTarget, // not an absolute path, or broken percent-encoding
};

struct CStaticFile {
    EStaticLookup result;
    std::filesystem::path file;
};

// Decodes %XX escapes; false on a broken escape or a decoded NUL.
bool PercentDecode(std::string_view in, std::string& out);

// `root` must be canonical. Any ".." segment, raw or encoded, is refused
// before the file system is asked; the final canonical path must still lie
// inside `root`, which also keeps symbolic links from leading out. A
// directory (and "/") serves its index.html.
CStaticFile LookUpStaticFile(const std::filesystem::path& root, std::string_view target);

// Content type for a file name's extension; application/octet-stream if unknown.
std::string_view ContentTypeFor(const std::filesystem::path& file);

#endif
