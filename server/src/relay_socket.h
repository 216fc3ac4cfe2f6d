#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json_fwd.hpp>

#include "address_slot.h"
#include "message_outbox.h"

namespace qova::server {

class PeerBridge;

using TlsStream = boost::beast::ssl_stream<boost::beast::tcp_stream>;
using WebSocket = boost::beast::websocket::stream<TlsStream>;

// TLS handshake and each request's header; also how long a WebSocket handshake may take.
inline constexpr std::chrono::seconds kHandshakeTimeout{10};

// One WebSocket the server took: what an agent's control connection, its session connection and a
// viewer have in common. Messages are read one at a time and handed to the role; what it sends goes
// through its outbox. Lives on the network thread, kept alive by its pending operations.
class RelaySocket : public std::enable_shared_from_this<RelaySocket> {
 public:
  // `firstMessageMax` bounds what may be read before the role raises it.
  RelaySocket(TlsStream&& stream, std::shared_ptr<AddressSlot> slot, std::size_t firstMessageMax);
  virtual ~RelaySocket() = default;

  // Answers the upgrade, then reads. A socket not established by the deadline is let go.
  void accept(boost::beast::http::request<boost::beast::http::empty_body> request);
  // A message that must arrive; a socket that leaves too much unread is closed.
  void push(std::string message, bool binary = false, std::function<void()> sent = {});
  // Says why, then closes; a peer that does not read is closed anyway a little later.
  void closeWith(const nlohmann::json& message);
  // Closes at once; the role lets go of what it held. Further calls do nothing.
  void finish();
  common::MessageOutbox<WebSocket>& outbox() { return outbox_; }

 protected:
  // False when reading goes on later (a viewer's message waits to be written to its device).
  virtual bool handle(std::string data, bool binary) = 0;
  // Once, from finish(), before the socket closes.
  virtual void finished() {}
  // The socket is closing: what the role waits for would speak after its last word.
  virtual void stopWaits() {}

  void readNext();
  // From now on this socket is passed on to another server as it is; reading goes on.
  bool bridge(std::shared_ptr<PeerBridge> bridge, std::size_t messageMax);
  template <class Role>
  std::shared_ptr<Role> self() {
    return std::static_pointer_cast<Role>(shared_from_this());
  }
  // A device ID a client named is whatever it typed: shown in the log, never obeyed by a terminal.
  std::string deviceFrom() const;
  void refusal(std::string text) { state_.refusal(slot_->address, std::move(text)); }

  WebSocket ws_;
  std::shared_ptr<AddressSlot> slot_;
  RelayState& state_;
  std::string deviceId_;
  bool established_ = false;
  bool finished_ = false;

 private:
  common::MessageOutbox<WebSocket> outbox_;
  std::shared_ptr<PeerBridge> bridge_;
  boost::beast::flat_buffer buffer_;
  std::size_t firstMessageMax_;
  boost::asio::steady_timer establishTimer_;
  boost::asio::steady_timer closeGraceTimer_;
};

}  // namespace qova::server
