#include "random_bytes.h"

#include <cstdlib>

#include <sodium.h>

#include "hex.h"

namespace qova::common {

void randomBytes(void* out, std::size_t count) {
  // sodium_init is safe to call from several threads and more than once.
  static const bool ready = ::sodium_init() >= 0;
  if (!ready) std::abort();
  ::randombytes_buf(out, count);
}

std::string randomHex(std::size_t count) {
  std::string raw(count, '\0');
  randomBytes(raw.data(), raw.size());
  return toHex(raw);
}

std::uint32_t randomWord() {
  std::uint32_t word = 0;
  randomBytes(&word, sizeof word);
  return word;
}

double randomFraction() {
  std::uint64_t bits = 0;
  randomBytes(&bits, sizeof bits);
  // 53 bits fill a double's mantissa exactly.
  return static_cast<double>(bits >> 11) * 0x1.0p-53;
}

}  // namespace qova::common
