#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What follows the exchange on the access code: both ends prove they hold the same key, then every
// message between page and agent travels sealed, each direction with its own key and counter, so a
// relay that flips, drops, replays or reorders a message is caught at the next message it lets
// through. ChaCha20-Poly1305 everywhere; AES-256-GCM when both ends offer it, since browsers do it
// natively (a whole picture opens several times faster than in script).
namespace qova::seal {

enum class Aead : std::uint8_t { ChaCha20Poly1305, Aes256Gcm };

// The name each is offered and chosen by; the first is never named, so older ends keep it.
constexpr std::string_view kAes256GcmName = "aes256gcm";
// Whether this machine can seal with AES-256-GCM (it needs the processor's AES instructions).
bool aes256GcmAvailable();

struct SessionKeys {
  std::string pageConfirm;
  std::string agentConfirm;
  std::string pageToAgent;
  std::string agentToPage;
};

// Keys from the exchange's session key, bound to `binding` (the server's ticket for the session, or
// a fixed label on the local page), so a key cannot be carried into another session, nor from one
// cipher to the other.
SessionKeys deriveKeys(std::string_view isk, std::string_view binding, Aead aead = Aead::ChaCha20Poly1305);

// A side's proof that it holds the key: a MAC over both exchange messages.
std::string confirmTag(std::string_view confirmKey, std::string_view initiatorMessage,
                       std::string_view responderMessage);
// Constant-time comparison of two tags.
bool tagsEqual(std::string_view a, std::string_view b);

enum class Direction : std::uint8_t { PageToAgent = 1, AgentToPage = 2 };

// What a sealed message carried: WebSocket text or binary, and its bytes.
struct Opened {
  bool binary = false;
  std::string payload;
};

constexpr std::size_t kSealOverhead = 1 + 16;  // kind byte and tag

// One direction of a sealed channel. The counter is in the nonce and never sent, so each message
// opens only in its own place of the sequence. After one failure, nothing opens any more.
class SealedDirection {
 public:
  SealedDirection(std::string key, Direction direction, Aead aead = Aead::ChaCha20Poly1305);
  ~SealedDirection();
  SealedDirection(SealedDirection&&) noexcept = default;
  SealedDirection& operator=(SealedDirection&&) noexcept = default;

  std::string seal(std::string_view payload, bool binary);
  std::optional<Opened> open(std::string_view sealed);

 private:
  std::string key_;
  Direction direction_;
  Aead aead_;
  std::uint64_t counter_ = 0;
  bool broken_ = false;
};

}  // namespace qova::seal
