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
using AgentMessage = std::variant<AgentHello, AgentProof, LoginResult, SessionJoin>;
std::optional<AgentMessage> parseAgentMessage(std::string_view text);

// The only thing a viewer may send before it is let through to a device.
struct ViewerLogin {
  std::string deviceId;
  std::string code;
};
std::optional<ViewerLogin> parseViewerLogin(std::string_view text);

// Device IDs are short digit strings; anything else is not looked up at all.
bool isDeviceId(std::string_view id);

// Whether a proof was made for this server: the agent saw this server's own certificate, or dialed
// one of its names (a TLS-terminating proxy in front shows agents a certificate of its own).
bool proofNamesServer(const AgentProof& proof, std::string_view ownFingerprint,
                      const std::vector<std::string>& ownNames);

}  // namespace qova::server
