// The one line a receive handler writes when it swallows an exception.
#ifndef CORVANE_ARCHIVE_MODULEDIAG_H
#define CORVANE_ARCHIVE_MODULEDIAG_H

void ReportHandlerException(const char* where) noexcept;

#endif
