#include "archive/ModuleDiag.h"

#include <cstdio>

void ReportHandlerException(const char* where) noexcept
{
    char buf[4096];
    std::snprintf(buf, sizeof(buf), "Exception at: %s\n", where);
    std::fputs(buf, stdout);
    std::fflush(stdout);
}
