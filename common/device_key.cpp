#include "device_key.h"

#include <memory>

#include <openssl/evp.h>
#include <sodium.h>

#include "hex.h"

namespace qova::common {

namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

const unsigned char* bytes(std::string_view text) { return reinterpret_cast<const unsigned char*>(text.data()); }

Key privateKey(const std::string& seed) {
  return Key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(seed), seed.size()), EVP_PKEY_free);
}

}  // namespace

std::optional<DeviceKey> DeviceKey::fromPrivateHex(std::string_view hex) {
  auto seed = fromHex(hex);
  if (!seed || seed->size() != kKeyBytes || !privateKey(*seed)) return std::nullopt;
  return DeviceKey(std::move(*seed));
}

std::string DeviceKey::publicHex() const {
  const auto key = privateKey(seed_);
  std::string raw(kKeyBytes, '\0');
  std::size_t size = raw.size();
  if (!key || EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char*>(raw.data()), &size) != 1) return {};
  return toHex(raw);
}

std::string DeviceKey::signHex(std::string_view message) const {
  const auto key = privateKey(seed_);
  DigestContext context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
  std::string signature(kSignatureBytes, '\0');
  std::size_t size = signature.size();
  if (!key || !context || EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(context.get(), reinterpret_cast<unsigned char*>(signature.data()), &size, bytes(message),
                     message.size()) != 1) {
    return {};
  }
  return toHex(signature);
}

std::string deviceProofText(std::string_view deviceId, std::string_view nonce, std::string_view host,
                            std::string_view certificateFingerprint) {
  std::string text = "qova-device-proof-2";
  for (const auto part : {deviceId, nonce, host, certificateFingerprint}) (text += '\n') += part;
  return text;
}

bool verifyDeviceSignature(std::string_view publicHex, std::string_view message, std::string_view signatureHex) {
  // libsodium's check, not OpenSSL's: OpenSSL accepts keys of small order (the identity among them),
  // for which a signature that fits every message is made without any private key, and encodings of
  // a point that are not its canonical one. A device key is a multiple of the base point: on the
  // main subgroup, so anything else is no device's key.
  static const bool ready = ::sodium_init() >= 0;
  const auto publicRaw = fromHex(publicHex);
  const auto signature = fromHex(signatureHex);
  if (!ready || !publicRaw || publicRaw->size() != crypto_sign_PUBLICKEYBYTES || !signature ||
      signature->size() != crypto_sign_BYTES || ::crypto_core_ed25519_is_valid_point(bytes(*publicRaw)) != 1) {
    return false;
  }
  return ::crypto_sign_verify_detached(bytes(*signature), bytes(message), message.size(), bytes(*publicRaw)) == 0;
}

}  // namespace qova::common
