#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// CPace (CPACE-RISTR255-SHA512): a balanced exchange on a low-entropy secret that gives both ends
// one strong key, while whoever carries the messages cannot test a single guess of the secret
// offline. Byte strings are std::string throughout, as they travel in WebSocket messages.
namespace qova::seal {

constexpr std::size_t kPointBytes = 32;
constexpr std::size_t kScalarBytes = 32;

// Each part with its LEB128 length in front, so no concatenation of parts reads as another.
std::string prefixFreeCat(const std::vector<std::string_view>& parts);

// The generator every exchange with the same secret `prs`, channel `ci` and session `sid` shares:
// the one-way map of SHA-512 over the padded generator string. An encoded point.
std::string cpaceGenerator(std::string_view prs, std::string_view ci, std::string_view sid);

// One party's message: its share Y = y·g and its associated data, length-prefixed.
struct CpaceShare {
  std::string scalar;   // y, kept secret
  std::string message;  // prefix_free_cat(Y, AD)
};
// `scalar` empty: a fresh random one (the normal case); given: for known-answer tests.
CpaceShare cpaceShare(std::string_view generator, std::string_view ad, std::string scalar = {});

// The share inside a party's message; nullopt when the lengths do not add up.
std::optional<std::string> cpaceShareOf(std::string_view message);

// The intermediate session key from our scalar and the peer's message, with the initiator's message
// first in the transcript. nullopt when the peer's message is malformed, its share is no valid
// encoding, or the shared point is the identity: the exchange must then be abandoned.
std::optional<std::string> cpaceIsk(std::string_view scalar, std::string_view sid, std::string_view initiatorMessage,
                                    std::string_view responderMessage, bool weAreInitiator);

}  // namespace qova::seal
