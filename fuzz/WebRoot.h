// A web root for the fuzz targets, in a fresh temporary folder removed at
// exit: files, an empty folder, a link inside the root, and links that lead
// out of it (to a file beside the root and to the folder above it).
#ifndef CORVANE_FUZZ_WEBROOT_H
#define CORVANE_FUZZ_WEBROOT_H

#include <filesystem>

// The canonical root.
std::filesystem::path MakeFuzzWebRoot();

// True when `file` lies below `root`.
bool IsBelow(const std::filesystem::path& root, const std::filesystem::path& file);

#endif
