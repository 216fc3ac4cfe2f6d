#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qova::common {

// Everything either program draws at random (tickets, nonces, tokens, keys, device IDs, access
// codes, retry jitter) comes from here: the system's cryptographic generator through libsodium.
// Safe on any thread. Without a generator nothing handed out could be trusted, so the process stops.
void randomBytes(void* out, std::size_t count);
// `count` random bytes in hex (twice as many characters).
std::string randomHex(std::size_t count);
std::uint32_t randomWord();
// Uniform in [0, 1).
double randomFraction();

}  // namespace qova::common
