#include "seal.h"

#include <openssl/evp.h>
#include <sodium.h>

#include <algorithm>
#include <array>
#include <memory>
#include <new>

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

// Both ciphers take a 12-byte nonce and make a 16-byte tag.
constexpr int kTagBytes = 16;

std::array<unsigned char, 12> nonceFor(Direction direction, std::uint64_t counter) {
  std::array<unsigned char, 12> nonce{};
  nonce[3] = static_cast<unsigned char>(direction);
  for (int i = 0; i < 8; ++i) nonce[11 - i] = static_cast<unsigned char>(counter >> (8 * i));
  return nonce;
}

}  // namespace

bool aes256GcmAvailable() {
  static const bool available = sodium_init() >= 0 && crypto_aead_aes256gcm_is_available() == 1;
  return available;
}

SessionKeys deriveKeys(std::string_view isk, std::string_view binding, Aead aead) {
  auto prk = hmacSha256(aead == Aead::Aes256Gcm ? prefixFreeCat({"qova viewer seal 1", binding, kAes256GcmName})
                                                : prefixFreeCat({"qova viewer seal 1", binding}),
                        isk);
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

SealedDirection::SealedDirection(std::string key, Direction direction, Aead aead)
    : key_(std::move(key)), direction_(direction), aead_(aead) {}

SealedDirection::~SealedDirection() { sodium_memzero(key_.data(), key_.size()); }

namespace {

// OpenSSL's AEADs rather than libsodium's: several times faster on the same processor, and a whole
// picture is sealed for every viewer.
const EVP_CIPHER* cipherFor(Aead aead) {
  return aead == Aead::Aes256Gcm ? EVP_aes_256_gcm() : EVP_chacha20_poly1305();
}

using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)>;

// Feeds `in` through `ctx` into `out`, in pieces an int can count.
bool update(EVP_CIPHER_CTX* ctx, bool encrypt, unsigned char* out, const unsigned char* in, std::size_t size) {
  for (std::size_t done = 0; done < size;) {
    const int piece = static_cast<int>(std::min<std::size_t>(size - done, 1u << 30));
    int written = 0;
    if ((encrypt ? EVP_EncryptUpdate : EVP_DecryptUpdate)(ctx, out + done, &written, in + done, piece) != 1 ||
        written != piece) {
      return false;
    }
    done += static_cast<std::size_t>(piece);
  }
  return true;
}

}  // namespace

std::string SealedDirection::seal(std::string_view payload, bool binary) {
  const auto nonce = nonceFor(direction_, counter_++);
  const unsigned char kind = binary ? kBinary : kText;
  std::string out(1 + payload.size() + kTagBytes, '\0');
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int last = 0;
  // Only allocation can fail here; a message that cannot be sealed must not leave unsealed.
  if (!ctx || EVP_EncryptInit_ex(ctx.get(), cipherFor(aead_), nullptr, bytes(key_), nonce.data()) != 1 ||
      !update(ctx.get(), true, bytes(out), &kind, 1) ||
      !update(ctx.get(), true, bytes(out) + 1, bytes(payload), payload.size()) ||
      EVP_EncryptFinal_ex(ctx.get(), bytes(out) + 1 + payload.size(), &last) != 1 ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_GET_TAG, kTagBytes, bytes(out) + 1 + payload.size()) != 1) {
    throw std::bad_alloc();
  }
  return out;
}

std::optional<Opened> SealedDirection::open(std::string_view sealed) {
  if (broken_ || sealed.size() < kSealOverhead) return broken_ = true, std::nullopt;
  const auto nonce = nonceFor(direction_, counter_);
  const auto size = sealed.size() - kTagBytes - 1;
  unsigned char kind = 0;
  Opened opened;
  opened.payload.resize(size);
  std::array<unsigned char, kTagBytes> tag{};
  std::copy_n(bytes(sealed) + 1 + size, kTagBytes, tag.begin());
  CipherContext ctx(EVP_CIPHER_CTX_new(), EVP_CIPHER_CTX_free);
  int last = 0;
  if (!ctx || EVP_DecryptInit_ex(ctx.get(), cipherFor(aead_), nullptr, bytes(key_), nonce.data()) != 1 ||
      !update(ctx.get(), false, &kind, bytes(sealed), 1) ||
      !update(ctx.get(), false, bytes(opened.payload), bytes(sealed) + 1, size) ||
      EVP_CIPHER_CTX_ctrl(ctx.get(), EVP_CTRL_AEAD_SET_TAG, kTagBytes, tag.data()) != 1 ||
      EVP_DecryptFinal_ex(ctx.get(), nullptr, &last) != 1 || (kind != kText && kind != kBinary)) {
    broken_ = true;
    return std::nullopt;
  }
  ++counter_;
  opened.binary = kind == kBinary;
  return opened;
}

}  // namespace qova::seal
