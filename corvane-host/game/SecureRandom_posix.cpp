#include "game/SecureRandom.h"

#include <sys/random.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

void FillSecureRandom(std::span<uint8_t> out)
{
    std::size_t done = 0;
    while (done < out.size()) {
        // Blocks only until the pool is seeded at boot, then never.
        const ssize_t n = ::getrandom(out.data() + done, out.size() - done, 0);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            throw std::runtime_error(std::string("getrandom failed: ") + std::strerror(errno));
        }
        done += static_cast<std::size_t>(n);
    }
}
