#include "host/Utility.h"

std::string ModuleDirFromFileName(std::string_view fileName)
{
    const std::size_t i = fileName.rfind(kPathSeparator);
    if (i == std::string_view::npos) {
        return std::string(fileName);
    }
    return std::string(fileName.substr(0, i + 1));
}

int32_t AbsDiff(int32_t a, int32_t b)
{
    // Unsigned arithmetic wraps where signed would overflow.
    uint32_t diff = static_cast<uint32_t>(a) - static_cast<uint32_t>(b);
    if (static_cast<int32_t>(diff) < 0) {
        diff = 0u - diff;
    }
    return static_cast<int32_t>(diff);
}
