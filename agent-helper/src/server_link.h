#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>

#include "device_key.h"

namespace qova::agent {

using common::DeviceKey;

class ViewerHub;

// The server this agent dials out to, from QOVA_AGENT_SERVER or the config file beside the state.
struct ServerLinkConfig {
  std::string url;          // "wss://host[:port]", or several servers that work as one: "wss://a,wss://b"
  std::string fingerprint;  // the server certificate's SHA-256, hex with or without colons; empty: system CAs
  std::string deviceId;
  std::string receivedFolder;
  std::uint64_t maxUploadBytes = 0;
  std::string stateFile;  // where a device ID taken in place of the derived one is kept
};

struct ServerAddress {
  std::string host;
  std::string port = "443";
};
// nullopt unless `url` is "wss://host[:port][/]"; only TLS is spoken to a server.
std::optional<ServerAddress> parseServerUrl(std::string_view url);

// A message the server sends on the control connection; anything else is nullopt.
struct ServerMessage {
  enum class Kind { Challenge, Welcome, Refused, Replaced, Login, LoginConfirm } kind{};
  std::string nonce;    // Challenge
  std::string ticket;   // Login, LoginConfirm: names the attempt and the session the agent opens for it
  std::string code;     // Login in the clear
  std::string sid;      // Login sealed: the page's share of the exchange on the code instead of the code
  std::string share;
  std::vector<std::string> aeads;  // Login sealed: the ciphers the page offers besides the first
  std::string confirm;  // LoginConfirm: the page's proof that it used the same code
  std::string address;  // Login: the viewer's address, for the audit line
  std::string reason;   // Refused
};
std::optional<ServerMessage> parseServerMessage(std::string_view text);

// Capped exponential back-off with jitter: the n-th retry in a row waits between half and all of
// min(kCap, kBase * 2^n), so agents cut off together do not return together.
std::chrono::milliseconds retryDelay(unsigned failures, double unitRandom);

// Keeps one outbound control connection to the server: registers this device by proving its key,
// answers logins with the access code check the local page gets, and opens one more outbound
// connection per admitted viewer, which then watches like a local one. Never listens. Lives on the
// hub's network thread.
class ServerLink {
 public:
  ServerLink(boost::asio::io_context& io, std::shared_ptr<ViewerHub> hub, ServerLinkConfig config, DeviceKey key);
  ~ServerLink();
  void start();

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace qova::agent
