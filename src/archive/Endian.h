// Fixed-width little-endian loads and stores, whatever the processor.
#ifndef CORVANE_ARCHIVE_ENDIAN_H
#define CORVANE_ARCHIVE_ENDIAN_H

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace archive_detail {

template <class T>
constexpr T ByteSwap(T value) noexcept
{
    using U = std::make_unsigned_t<T>;
    U in = static_cast<U>(value);
    U out = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) {
        out = static_cast<U>((out << 8) | (in & 0xFFu));
        in = static_cast<U>(in >> 8);
    }
    return static_cast<T>(out);
}

template <class T>
inline void StoreLE(uint8_t* dst, T value) noexcept
{
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        value = ByteSwap(value);
    }
    std::memcpy(dst, &value, sizeof(T));
}

template <class T>
inline T LoadLE(const uint8_t* src) noexcept
{
    T value;
    std::memcpy(&value, src, sizeof(T));
    if constexpr (std::endian::native == std::endian::big && sizeof(T) > 1) {
        value = ByteSwap(value);
    }
    return value;
}

} // namespace archive_detail

#endif
