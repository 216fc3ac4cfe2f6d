#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// What follows the exchange on the access code: both ends prove they hold the same key, then every
// message between page and agent travels sealed (ChaCha20-Poly1305), each direction with its own
// key and counter, so a relay that flips, drops, replays or reorders a message is caught at the next
// message it lets through.
namespace qova::seal {

struct SessionKeys {
  std::string pageConfirm;
  std::string agentConfirm;
  std::string pageToAgent;
  std::string agentToPage;
};

// Keys from the exchange's session key, bound to `binding` (the server's ticket for the session, or
// a fixed label on the local page), so a key cannot be carried into another session.
SessionKeys deriveKeys(std::string_view isk, std::string_view binding);

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
  SealedDirection(std::string key, Direction direction);
  ~SealedDirection();
  SealedDirection(SealedDirection&&) noexcept = default;
  SealedDirection& operator=(SealedDirection&&) noexcept = default;

  std::string seal(std::string_view payload, bool binary);
  std::optional<Opened> open(std::string_view sealed);

 private:
  std::string key_;
  Direction direction_;
  std::uint64_t counter_ = 0;
  bool broken_ = false;
};

}  // namespace qova::seal
