#include "game/SipHash.h"

#include <cstddef>

namespace {

constexpr uint64_t Rotl(uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

struct CSipState {
    uint64_t v0, v1, v2, v3;

    void Round()
    {
        v0 += v1;
        v1 = Rotl(v1, 13);
        v1 ^= v0;
        v0 = Rotl(v0, 32);
        v2 += v3;
        v3 = Rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = Rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = Rotl(v1, 17);
        v1 ^= v2;
        v2 = Rotl(v2, 32);
    }

    void Compress(uint64_t m)
    {
        v3 ^= m;
        Round();
        Round();
        v0 ^= m;
    }
};

uint64_t ReadLE64(const unsigned char* p, std::size_t n)
{
    uint64_t value = 0;
    for (std::size_t i = 0; i < n; ++i) {
        value |= uint64_t{p[i]} << (8 * i);
    }
    return value;
}

} // namespace

uint64_t SipHash24(const CSipKey& key, std::string_view data)
{
    CSipState s{key[0] ^ 0x736f6d6570736575ULL, key[1] ^ 0x646f72616e646f6dULL, key[0] ^ 0x6c7967656e657261ULL,
                key[1] ^ 0x7465646279746573ULL};
    const auto* p = reinterpret_cast<const unsigned char*>(data.data());
    const std::size_t whole = data.size() - data.size() % 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        s.Compress(ReadLE64(p + i, 8));
    }
    s.Compress(ReadLE64(p + whole, data.size() - whole) | (uint64_t{data.size() & 0xFF} << 56));
    s.v2 ^= 0xFF;
    for (int i = 0; i < 4; ++i) {
        s.Round();
    }
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}
