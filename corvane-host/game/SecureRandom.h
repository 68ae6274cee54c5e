// Bytes from the operating system's cryptographic random generator: for
// secrets such as resume tokens and hash keys. The one place that knows
// where they come from.
#ifndef CORVANE_HOST_SECURERANDOM_H
#define CORVANE_HOST_SECURERANDOM_H

#include <cstdint>
#include <span>

// Fills `out`; throws std::runtime_error when the system gives no bytes.
void FillSecureRandom(std::span<uint8_t> out);

#endif
