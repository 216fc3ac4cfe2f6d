#include "seal.h"

#include <sodium.h>

#include <array>

#include "pake.h"

namespace qova::seal {

namespace {

constexpr char kText = 't';
constexpr char kBinary = 'b';

const unsigned char* bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }
unsigned char* bytes(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }

std::string hmacSha256(std::string_view key, std::string_view data) {
  std::string out(crypto_auth_hmacsha256_BYTES, '\0');
  crypto_auth_hmacsha256_state state;
  crypto_auth_hmacsha256_init(&state, bytes(key), key.size());
  crypto_auth_hmacsha256_update(&state, bytes(data), data.size());
  crypto_auth_hmacsha256_final(&state, bytes(out));
  return out;
}

// HKDF-SHA-256 (RFC 5869) for one block of output; Debian's libsodium predates its own HKDF.
std::string hkdfBlock(std::string_view prk, std::string_view info) {
  return hmacSha256(prk, std::string(info) + '\x01');
}

std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonceFor(Direction direction,
                                                                                std::uint64_t counter) {
  std::array<unsigned char, crypto_aead_chacha20poly1305_ietf_NPUBBYTES> nonce{};
  nonce[3] = static_cast<unsigned char>(direction);
  for (int i = 0; i < 8; ++i) nonce[11 - i] = static_cast<unsigned char>(counter >> (8 * i));
  return nonce;
}

}  // namespace

SessionKeys deriveKeys(std::string_view isk, std::string_view binding) {
  auto prk = hmacSha256(prefixFreeCat({"qova viewer seal 1", binding}), isk);
  SessionKeys keys{hkdfBlock(prk, "page confirm"), hkdfBlock(prk, "agent confirm"), hkdfBlock(prk, "page to agent"),
                   hkdfBlock(prk, "agent to page")};
  sodium_memzero(prk.data(), prk.size());
  return keys;
}

std::string confirmTag(std::string_view confirmKey, std::string_view initiatorMessage,
                       std::string_view responderMessage) {
  return hmacSha256(confirmKey, prefixFreeCat({initiatorMessage, responderMessage}));
}

bool tagsEqual(std::string_view a, std::string_view b) {
  return a.size() == b.size() && !a.empty() && sodium_memcmp(a.data(), b.data(), a.size()) == 0;
}

SealedDirection::SealedDirection(std::string key, Direction direction) : key_(std::move(key)), direction_(direction) {}

SealedDirection::~SealedDirection() { sodium_memzero(key_.data(), key_.size()); }

std::string SealedDirection::seal(std::string_view payload, bool binary) {
  std::string plain;
  plain.reserve(1 + payload.size());
  plain += binary ? kBinary : kText;
  plain += payload;
  std::string out(plain.size() + crypto_aead_chacha20poly1305_ietf_ABYTES, '\0');
  const auto nonce = nonceFor(direction_, counter_++);
  unsigned long long length = 0;
  crypto_aead_chacha20poly1305_ietf_encrypt(bytes(out), &length, bytes(plain), plain.size(), nullptr, 0, nullptr,
                                            nonce.data(), bytes(key_));
  return out;
}

std::optional<Opened> SealedDirection::open(std::string_view sealed) {
  if (broken_ || sealed.size() < kSealOverhead) return broken_ = true, std::nullopt;
  std::string plain(sealed.size() - crypto_aead_chacha20poly1305_ietf_ABYTES, '\0');
  const auto nonce = nonceFor(direction_, counter_);
  unsigned long long length = 0;
  if (crypto_aead_chacha20poly1305_ietf_decrypt(bytes(plain), &length, nullptr, bytes(sealed), sealed.size(), nullptr,
                                                0, nonce.data(), bytes(key_)) != 0 ||
      (plain[0] != kText && plain[0] != kBinary)) {
    broken_ = true;
    return std::nullopt;
  }
  ++counter_;
  return Opened{plain[0] == kBinary, plain.substr(1)};
}

}  // namespace qova::seal
