// SipHash-2-4: a keyed hash whose outputs an attacker cannot predict or
// steer without the key.
#ifndef CORVANE_HOST_SIPHASH_H
#define CORVANE_HOST_SIPHASH_H

#include <array>
#include <cstdint>
#include <string_view>

using CSipKey = std::array<uint64_t, 2>;

// The 64-bit SipHash-2-4 of `data`; the key's words are read little-endian
// from its 16 bytes.
uint64_t SipHash24(const CSipKey& key, std::string_view data);

#endif
