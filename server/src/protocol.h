#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace qova::server {

// What agents and viewers may say to the server. Each parser takes one WebSocket text message and
// gives nullopt for anything malformed, unknown or oversized; the caller then ends that connection.

// On the agent's control connection, in this order: hello, proof, then login results.
struct AgentHello {
  std::string deviceId;
  std::string publicKey;  // Ed25519, hex
};
struct AgentProof {
  std::string host;         // the host the agent dialed
  std::string fingerprint;  // the SHA-256 of the certificate the agent's TLS was shown, hex
  std::string signature;    // over the server's nonce and the two above, hex
};
// The agent's share of a sealed login's exchange, for the viewer.
struct LoginSeal {
  std::string ticket;
  std::string share;  // hex
  std::string aead;   // the cipher the agent chose from the page's offer; empty: the first
};
struct LoginResult {
  std::string ticket;
  bool ok = false;
  std::int64_t retryMs = 0;  // the agent's own guess budget is spent: not judged
};
// The first message on a session connection the agent opens for an admitted viewer.
struct SessionJoin {
  std::string deviceId;
  std::string ticket;
};
using AgentMessage = std::variant<AgentHello, AgentProof, LoginSeal, LoginResult, SessionJoin>;
std::optional<AgentMessage> parseAgentMessage(std::string_view text);

// The only thing a viewer may send before it is let through to a device: the access code in the
// clear (older pages), or the page's share of an exchange on it, so that the code never passes here
// and the keys it makes are the page's and the agent's alone.
struct ViewerLogin {
  std::string deviceId;
  std::string code;
  std::string sid;    // hex, with `share`
  std::string share;  // hex
  std::vector<std::string> aeads;  // ciphers the page offers besides the first
  bool sealed() const { return !share.empty(); }
};
std::optional<ViewerLogin> parseViewerLogin(std::string_view text);
// A sealing page's proof that it made the same key as the agent, hex.
std::optional<std::string> parseViewerProof(std::string_view text);

// Device IDs are short digit strings; anything else is not looked up at all.
bool isDeviceId(std::string_view id);

// Whether a proof was made for this server: the agent saw this server's own certificate, or dialed
// one of its names (a TLS-terminating proxy in front shows agents a certificate of its own).
bool proofNamesServer(const AgentProof& proof, std::string_view ownFingerprint,
                      const std::vector<std::string>& ownNames);

}  // namespace qova::server
