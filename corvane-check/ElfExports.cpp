#include "ElfExports.h"

#include <elf.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace {

template <class T>
T ReadAt(const std::vector<char>& file, std::size_t offset)
{
    if (offset > file.size() || file.size() - offset < sizeof(T)) {
        throw std::runtime_error("truncated ELF file");
    }
    T value;
    std::memcpy(&value, file.data() + offset, sizeof(T));
    return value;
}

template <class Ehdr, class Shdr, class Sym, unsigned char (*Bind)(unsigned char), unsigned char (*Type)(unsigned char)>
std::vector<std::string> Exports(const std::vector<char>& file)
{
    const auto header = ReadAt<Ehdr>(file, 0);
    if (header.e_shoff == 0 || header.e_shentsize != sizeof(Shdr)) {
        throw std::runtime_error("no section headers to read the exports from");
    }
    // A file holds each of its symbols and each name's bytes once: a table
    // read for more than that is crafted to make the reader grow (many
    // symbols naming one long string, or many tables over the same bytes).
    std::size_t symbolsLeft = file.size() / sizeof(Sym);
    std::size_t nameBytesLeft = file.size();
    std::vector<std::string> names;
    for (unsigned i = 0; i < header.e_shnum; ++i) {
        const auto section = ReadAt<Shdr>(file, header.e_shoff + std::size_t{i} * sizeof(Shdr));
        if (section.sh_type != SHT_DYNSYM || section.sh_entsize != sizeof(Sym)) {
            continue;
        }
        const auto strings = ReadAt<Shdr>(file, header.e_shoff + std::size_t{section.sh_link} * sizeof(Shdr));
        const std::size_t count = section.sh_size / sizeof(Sym);
        for (std::size_t k = 1; k < count; ++k) {
            if (symbolsLeft-- == 0) {
                throw std::runtime_error("the dynamic symbol tables hold more symbols than the file has room for");
            }
            const auto sym = ReadAt<Sym>(file, section.sh_offset + k * sizeof(Sym));
            const unsigned char bind = Bind(sym.st_info);
            const unsigned char type = Type(sym.st_info);
            if (sym.st_shndx == SHN_UNDEF || (bind != STB_GLOBAL && bind != STB_WEAK && bind != STB_GNU_UNIQUE) ||
                type == STT_SECTION || type == STT_FILE) {
                continue;
            }
            // Version definitions show up as absolute objects at 0.
            if (sym.st_shndx == SHN_ABS && sym.st_value == 0) {
                continue;
            }
            if (strings.sh_offset >= file.size() || sym.st_name >= file.size() - strings.sh_offset) {
                throw std::runtime_error("symbol name outside the file");
            }
            const std::size_t at = strings.sh_offset + sym.st_name;
            const char* name = file.data() + at;
            const std::size_t length = strnlen(name, std::min(file.size() - at, nameBytesLeft + 1));
            if (length > nameBytesLeft) {
                throw std::runtime_error("the exported names add up to more bytes than the file has");
            }
            nameBytesLeft -= length;
            names.emplace_back(name, length);
        }
    }
    return names;
}

unsigned char Bind32(unsigned char info) { return ELF32_ST_BIND(info); }
unsigned char Type32(unsigned char info) { return ELF32_ST_TYPE(info); }
unsigned char Bind64(unsigned char info) { return ELF64_ST_BIND(info); }
unsigned char Type64(unsigned char info) { return ELF64_ST_TYPE(info); }

} // namespace

std::vector<std::string> ReadElfExports(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (file.size() < EI_NIDENT || std::memcmp(file.data(), ELFMAG, SELFMAG) != 0) {
        throw std::runtime_error(path + " is not an ELF file");
    }
    // Only a library of this machine's byte order can be loaded here at all.
    const char native = std::endian::native == std::endian::little ? ELFDATA2LSB : ELFDATA2MSB;
    if (file[EI_DATA] != native) {
        throw std::runtime_error(path + " is built for another byte order");
    }
    switch (file[EI_CLASS]) {
    case ELFCLASS32:
        return Exports<Elf32_Ehdr, Elf32_Shdr, Elf32_Sym, Bind32, Type32>(file);
    case ELFCLASS64:
        return Exports<Elf64_Ehdr, Elf64_Shdr, Elf64_Sym, Bind64, Type64>(file);
    default:
        throw std::runtime_error(path + " has an unknown ELF class");
    }
}
