#include "game/SecureRandom.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>
#include <string>

void FillSecureRandom(std::span<uint8_t> out)
{
    std::size_t done = 0;
    while (done < out.size()) {
        // The call takes a 32-bit length: large requests go in pieces.
        const auto chunk = static_cast<ULONG>(std::min<std::size_t>(out.size() - done, 1u << 20));
        const NTSTATUS status =
            ::BCryptGenRandom(nullptr, out.data() + done, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG);
        if (status < 0) {
            throw std::runtime_error("BCryptGenRandom failed: status " + std::to_string(status));
        }
        done += chunk;
    }
}
