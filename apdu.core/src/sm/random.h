// The one random source of the card library: mbed TLS's CTR_DRBG, seeded
// from its entropy source (the operating system's generator) on first use.
// Shared by every thread of the process under a lock; a child process made
// by fork reseeds before its first draw, so parent and child never repeat
// each other's output.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zervik {

// Fills buffer with length random bytes: 0, or 1 when the generator cannot
// be seeded or fails (the buffer is zeroed then). The signature is mbed
// TLS's f_rng; context is not used.
int kas_random(void* context, unsigned char* buffer, std::size_t length);

}  // namespace zervik
