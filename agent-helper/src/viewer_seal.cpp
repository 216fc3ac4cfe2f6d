#include "viewer_seal.h"

#include <sodium.h>

#include <nlohmann/json.hpp>

#include "pake.h"

namespace qova::agent {

namespace {

constexpr std::size_t kSidBytes = 16;
// A share with room for a little associated data; anything longer is not our page.
constexpr std::size_t kMaxShareBytes = 64;

std::optional<std::string> hexField(const nlohmann::json& message, const char* name, std::size_t maxBytes) {
  const auto field = message.find(name);
  if (field == message.end() || !field->is_string()) return std::nullopt;
  const auto& hex = field->get_ref<const std::string&>();
  if (hex.size() > 2 * maxBytes || hex.size() % 2) return std::nullopt;
  std::string out(hex.size() / 2, '\0');
  std::size_t length = 0;
  if (sodium_hex2bin(reinterpret_cast<unsigned char*>(out.data()), out.size(), hex.data(), hex.size(), nullptr, &length,
                     nullptr) != 0 ||
      length != out.size()) {
    return std::nullopt;
  }
  return out;
}

std::string hex(std::string_view bytes) {
  std::string out(bytes.size() * 2 + 1, '\0');
  sodium_bin2hex(out.data(), out.size(), reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  out.pop_back();
  return out;
}

// AES-256-GCM when the page offers it ("aead": a list of names) and this machine has it in hardware.
seal::Aead chosenAead(const nlohmann::json& opening) {
  const auto offered = opening.find("aead");
  if (offered == opening.end() || !offered->is_array() || !seal::aes256GcmAvailable()) {
    return seal::Aead::ChaCha20Poly1305;
  }
  for (const auto& name : *offered) {
    if (name.is_string() && name.get_ref<const std::string&>() == seal::kAes256GcmName) return seal::Aead::Aes256Gcm;
  }
  return seal::Aead::ChaCha20Poly1305;
}

}  // namespace

std::optional<ViewerSeal> ViewerSeal::answer(const nlohmann::json& opening, std::string_view code,
                                             std::string_view channel, std::string_view binding, std::string& reply) {
  const auto version = opening.find("version");
  if (version == opening.end() || *version != 1 || code.empty()) return std::nullopt;
  const auto sid = hexField(opening, "sid", kSidBytes);
  const auto pageMessage = hexField(opening, "share", kMaxShareBytes);
  if (!sid || sid->size() != kSidBytes || !pageMessage) return std::nullopt;
  const auto mine = seal::cpaceShare(seal::cpaceGenerator(code, seal::prefixFreeCat({channel}), *sid), "");
  const auto isk = seal::cpaceIsk(mine.scalar, *sid, *pageMessage, mine.message, false);
  if (!isk) return std::nullopt;
  ViewerSeal seal;
  seal.aead_ = chosenAead(opening);
  seal.keys_ = seal::deriveKeys(*isk, binding, seal.aead_);
  seal.pageMessage_ = *pageMessage;
  seal.agentMessage_ = mine.message;
  nlohmann::json answer{{"type", "seal"}, {"share", hex(mine.message)}};
  if (seal.aead_ == seal::Aead::Aes256Gcm) answer["aead"] = seal::kAes256GcmName;
  reply = answer.dump();
  return seal;
}

std::optional<ViewerSeal::Confirmed> ViewerSeal::confirm(const nlohmann::json& message) const {
  const auto tag = hexField(message, "confirm", 32);
  if (!tag || !seal::tagsEqual(*tag, seal::confirmTag(keys_.pageConfirm, pageMessage_, agentMessage_)))
    return std::nullopt;
  const auto ours = seal::confirmTag(keys_.agentConfirm, pageMessage_, agentMessage_);
  return Confirmed{std::make_shared<seal::SealedDirection>(keys_.agentToPage, seal::Direction::AgentToPage, aead_),
                   std::make_shared<seal::SealedDirection>(keys_.pageToAgent, seal::Direction::PageToAgent, aead_),
                   nlohmann::json{{"type", "seal"}, {"confirm", hex(ours)}}.dump()};
}

}  // namespace qova::agent
