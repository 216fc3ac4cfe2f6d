#include "protocol.h"

#include <algorithm>
#include <cctype>

#include <nlohmann/json.hpp>

namespace qova::server {

namespace {

using Json = nlohmann::json;

constexpr std::size_t kMaxField = 256;
// Bounds of the exchange's parts, whose contents only the page and the agent check: a session ID, a
// share (a ristretto255 point, length-prefixed), an HMAC-SHA-256 tag.
constexpr std::size_t kMaxSidHex = 64;
constexpr std::size_t kMaxShareHex = 128;
constexpr std::size_t kMaxConfirmHex = 64;

std::optional<std::string> field(const Json& message, const char* name) {
  const auto value = message.find(name);
  if (value == message.end() || !value->is_string()) return std::nullopt;
  auto text = value->get<std::string>();
  if (text.size() > kMaxField) return std::nullopt;
  return text;
}

bool isHex(std::string_view text, std::size_t size) {
  return text.size() == size && std::all_of(text.begin(), text.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

// Whole bytes, at least one.
bool isHexUpTo(std::string_view text, std::size_t max) {
  return !text.empty() && text.size() <= max && text.size() % 2 == 0 && isHex(text, text.size());
}

// A DNS name or an IP address: nothing that could pass for another line of the signed text.
bool isHost(std::string_view text) {
  return !text.empty() && text.size() <= 253 && std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == ':';
  });
}

// Ciphers the page and the agent agree on, passed along unread: a name is a few letters and digits.
bool isCipherName(const Json& value) {
  if (!value.is_string()) return false;
  const auto& name = value.get_ref<const std::string&>();
  return !name.empty() && name.size() <= 16 && std::all_of(name.begin(), name.end(), [](char c) {
    return std::islower(static_cast<unsigned char>(c)) || std::isdigit(static_cast<unsigned char>(c));
  });
}

// A page's offer of ciphers; anything else is no offer (the first cipher, which needs none).
std::vector<std::string> cipherOffer(const Json& message) {
  const auto offer = message.find("aead");
  if (offer == message.end() || !offer->is_array() || offer->size() > 4 ||
      !std::all_of(offer->begin(), offer->end(), isCipherName)) {
    return {};
  }
  return offer->get<std::vector<std::string>>();
}

bool sameHost(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

bool proofNamesServer(const AgentProof& proof, std::string_view ownFingerprint,
                      const std::vector<std::string>& ownNames) {
  if (!ownFingerprint.empty() && proof.fingerprint == ownFingerprint) return true;
  return std::any_of(ownNames.begin(), ownNames.end(),
                     [&proof](const std::string& name) { return sameHost(name, proof.host); });
}

bool isDeviceId(std::string_view id) {
  return id.size() >= 6 && id.size() <= 20 && std::all_of(id.begin(), id.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<AgentMessage> parseAgentMessage(std::string_view text) {
  const auto message = Json::parse(text, nullptr, false);
  const auto type = field(message, "type");
  if (!type) return std::nullopt;
  if (*type == "hello") {
    auto id = field(message, "deviceId");
    auto key = field(message, "publicKey");
    if (!id || !isDeviceId(*id) || !key || !isHex(*key, 64)) return std::nullopt;
    return AgentHello{std::move(*id), std::move(*key)};
  }
  if (*type == "proof") {
    auto host = field(message, "host");
    auto fingerprint = field(message, "fingerprint");
    auto signature = field(message, "signature");
    if (!host || !isHost(*host) || !fingerprint || !isHex(*fingerprint, 64) || !signature || !isHex(*signature, 128)) {
      return std::nullopt;
    }
    return AgentProof{std::move(*host), std::move(*fingerprint), std::move(*signature)};
  }
  if (*type == "login-seal") {
    auto ticket = field(message, "ticket");
    auto share = field(message, "share");
    if (!ticket || !share || !isHexUpTo(*share, kMaxShareHex)) return std::nullopt;
    const auto aead = message.find("aead");
    return LoginSeal{std::move(*ticket), std::move(*share),
                     aead != message.end() && isCipherName(*aead) ? aead->get<std::string>() : ""};
  }
  if (*type == "login-result") {
    auto ticket = field(message, "ticket");
    const auto ok = message.find("ok");
    if (!ticket || ok == message.end() || !ok->is_boolean()) return std::nullopt;
    LoginResult result{std::move(*ticket), ok->get<bool>(), 0};
    const auto retry = message.find("retryMs");
    if (retry != message.end()) {
      if (!retry->is_number_integer()) return std::nullopt;
      // A wait the agent asks for is passed on, within reason.
      result.retryMs = std::clamp<std::int64_t>(retry->get<std::int64_t>(), 0, 60000);
    }
    return result;
  }
  if (*type == "join") {
    auto id = field(message, "deviceId");
    auto ticket = field(message, "ticket");
    if (!id || !isDeviceId(*id) || !ticket) return std::nullopt;
    return SessionJoin{std::move(*id), std::move(*ticket)};
  }
  return std::nullopt;
}

std::optional<ViewerLogin> parseViewerLogin(std::string_view text) {
  const auto message = Json::parse(text, nullptr, false);
  const auto type = field(message, "type");
  auto id = field(message, "deviceId");
  // An ID that cannot exist is still answered like a wrong code; only the shape is checked here.
  if (!id || id->size() > 32) return std::nullopt;
  if (type == "seal") {
    const auto version = message.find("version");
    auto sid = field(message, "sid");
    auto share = field(message, "share");
    if (version == message.end() || *version != 1 || !sid || !isHexUpTo(*sid, kMaxSidHex) || !share ||
        !isHexUpTo(*share, kMaxShareHex)) {
      return std::nullopt;
    }
    return ViewerLogin{std::move(*id), "", std::move(*sid), std::move(*share), cipherOffer(message)};
  }
  auto code = field(message, "code");
  if (type != "auth" || !code || code->size() > 64) return std::nullopt;
  return ViewerLogin{std::move(*id), std::move(*code), "", "", {}};
}

std::optional<std::string> parseViewerProof(std::string_view text) {
  const auto message = Json::parse(text, nullptr, false);
  auto confirm = field(message, "confirm");
  if (field(message, "type") != "seal" || !confirm || !isHexUpTo(*confirm, kMaxConfirmHex)) return std::nullopt;
  return confirm;
}

}  // namespace qova::server
