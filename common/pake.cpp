#include "pake.h"

#include <sodium.h>

namespace qova::seal {

namespace {

constexpr std::string_view kDsi = "CPaceRistretto255";
constexpr std::size_t kHashBlockBytes = 128;  // SHA-512's input block

std::string lengthPrefix(std::size_t length) {
  std::string out;
  do {
    const auto low = static_cast<unsigned char>(length & 0x7F);
    length >>= 7;
    out += static_cast<char>(length ? low | 0x80 : low);
  } while (length);
  return out;
}

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

std::string sha512(std::string_view data) {
  std::string out(crypto_hash_sha512_BYTES, '\0');
  crypto_hash_sha512(bytes(out), bytes(data), data.size());
  return out;
}

}  // namespace

std::string prefixFreeCat(const std::vector<std::string_view>& parts) {
  std::string out;
  for (const auto part : parts) {
    out += lengthPrefix(part.size());
    out += part;
  }
  return out;
}

std::string cpaceGenerator(std::string_view prs, std::string_view ci, std::string_view sid) {
  // The padding fills the first hash block with the secret alone, so its length shows in no timing.
  const auto used = lengthPrefix(prs.size()).size() + prs.size() + lengthPrefix(kDsi.size()).size() + kDsi.size() + 1;
  const std::string zeros(used < kHashBlockBytes ? kHashBlockBytes - used : 0, '\0');
  const auto hash = sha512(prefixFreeCat({kDsi, prs, zeros, ci, sid}));
  std::string generator(kPointBytes, '\0');
  crypto_core_ristretto255_from_hash(bytes(generator), bytes(hash));
  return generator;
}

CpaceShare cpaceShare(std::string_view generator, std::string_view ad, std::string scalar) {
  static const bool ready = sodium_init() >= 0;
  (void)ready;
  if (scalar.size() != kScalarBytes) {
    scalar.assign(kScalarBytes, '\0');
    crypto_core_ristretto255_scalar_random(bytes(scalar));
  }
  std::string point(kPointBytes, '\0');
  // Fails only for a zero scalar, which random sampling does not give.
  if (crypto_scalarmult_ristretto255(bytes(point), bytes(scalar), bytes(generator)) != 0)
    point.assign(kPointBytes, '\0');
  return {std::move(scalar), prefixFreeCat({point, ad})};
}

std::optional<std::string> cpaceShareOf(std::string_view message) {
  // The share's length is one byte below 128; then the associated data, whose length prefix may be longer.
  if (message.size() < 1 + kPointBytes + 1 || static_cast<unsigned char>(message[0]) != kPointBytes)
    return std::nullopt;
  std::size_t adLength = 0;
  std::size_t at = 1 + kPointBytes;
  for (unsigned shift = 0; at < message.size() && shift < 28; shift += 7) {
    const auto byte = static_cast<unsigned char>(message[at++]);
    adLength |= static_cast<std::size_t>(byte & 0x7F) << shift;
    if (!(byte & 0x80)) {
      if (at + adLength != message.size()) return std::nullopt;
      return std::string(message.substr(1, kPointBytes));
    }
  }
  return std::nullopt;
}

std::optional<std::string> cpaceIsk(std::string_view scalar, std::string_view sid, std::string_view initiatorMessage,
                                    std::string_view responderMessage, bool weAreInitiator) {
  const auto peer = cpaceShareOf(weAreInitiator ? responderMessage : initiatorMessage);
  if (!peer || scalar.size() != kScalarBytes) return std::nullopt;
  std::string shared(kPointBytes, '\0');
  // Refuses encodings that are no point and a result that is the identity.
  if (crypto_scalarmult_ristretto255(bytes(shared), bytes(scalar), bytes(*peer)) != 0) return std::nullopt;
  const auto dsiIsk = std::string(kDsi) + "_ISK";
  auto isk =
      sha512(prefixFreeCat({dsiIsk, sid, shared}) + std::string(initiatorMessage) + std::string(responderMessage));
  sodium_memzero(shared.data(), shared.size());
  return isk;
}

}  // namespace qova::seal
