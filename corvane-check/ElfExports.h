// Reads the names a shared library exports from its dynamic symbol table,
// without loading it.
#ifndef CORVANE_CHECK_ELFEXPORTS_H
#define CORVANE_CHECK_ELFEXPORTS_H

#include <string>
#include <vector>

// The defined global and weak symbols of the file's dynamic symbol table.
// Throws std::runtime_error with the reason when the file is no ELF shared
// object or its tables are malformed; what it keeps is bounded by the file's
// size.
std::vector<std::string> ReadElfExports(const std::string& path);

#endif
