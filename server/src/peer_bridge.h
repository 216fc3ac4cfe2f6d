#pragma once

#include <functional>
#include <memory>
#include <string>

#include "relay_socket.h"

namespace qova::server {

// A connection that landed on this server for a device whose control connection is on another: its
// WebSocket goes on to that server's same path, as if it had gone there itself. The other server is
// told the client's address, vouched for with the cluster's secret, and applies its budgets and caps
// to it. After the first message everything passes as it comes, in order, each side read only once
// its last message was written to the other: a session is sealed end to end, so there is nothing
// to look at here.
class PeerBridge : public std::enable_shared_from_this<PeerBridge> {
 public:
  // `done` gets the bridge once `first` is on its way, or nullptr when the peer could not be reached.
  static void open(RelayState& state, const std::string& peer, const std::string& path, const std::string& address,
                   std::string first, std::function<void(std::shared_ptr<PeerBridge>)> done);

  // From now on what the peer sends goes to `client`; reading starts.
  void attach(const std::shared_ptr<RelaySocket>& client);
  // From the client to the peer; `written` runs once it is.
  void send(std::string data, bool binary, std::function<void()> written);
  void close();

  explicit PeerBridge(std::shared_ptr<WebSocket> ws);

 private:
  void readNext();

  std::shared_ptr<WebSocket> ws_;
  common::MessageOutbox<WebSocket> outbox_;
  boost::beast::flat_buffer buffer_;
  std::weak_ptr<RelaySocket> client_;
  bool closed_ = false;
};

}  // namespace qova::server
