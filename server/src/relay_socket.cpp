#include "relay_socket.h"

#include <nlohmann/json.hpp>

#include "peer_bridge.h"

namespace qova::server {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;

namespace {

// Heartbeats: a quiet WebSocket is pinged after half of this, and let go after all of it.
constexpr std::chrono::seconds kIdleTimeout{30};
// An agent that has not proved its key, or a viewer not let through, by then is let go.
constexpr std::chrono::seconds kEstablishDeadline{60};
constexpr std::chrono::seconds kCloseGrace{5};

}  // namespace

RelaySocket::RelaySocket(TlsStream&& stream, std::shared_ptr<AddressSlot> slot, std::size_t firstMessageMax)
    : ws_(std::move(stream)), slot_(std::move(slot)), state_(*slot_->state), outbox_(ws_, [this] { finish(); }),
      firstMessageMax_(firstMessageMax), establishTimer_(state_.io), closeGraceTimer_(state_.io) {}

void RelaySocket::accept(http::request<http::empty_body> request) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout, kIdleTimeout, true});
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(http::field::server, "qova-server"); }));
  ws_.read_message_max(firstMessageMax_);
  // A frame leaves as one WebSocket frame, not as hundreds of 4 KiB ones each in its own TLS record.
  ws_.auto_fragment(false);
  establishTimer_.expires_after(kEstablishDeadline);
  establishTimer_.async_wait([weak = weak_from_this()](beast::error_code error) {
    auto self = weak.lock();
    if (!error && self && !self->established_) self->finish();
  });
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
    if (error) return self->finish();
    self->readNext();
  });
}

void RelaySocket::push(std::string message, bool binary, std::function<void()> sent) {
  if (!finished_ && !outbox_.push(std::move(message), binary, shared_from_this(), std::move(sent))) finish();
}

void RelaySocket::closeWith(const nlohmann::json& message) {
  if (finished_) return;
  stopWaits();
  push(message.dump(), false, [self = shared_from_this()] { self->finish(); });
  closeGraceTimer_.expires_after(kCloseGrace);
  closeGraceTimer_.async_wait([self = shared_from_this()](beast::error_code error) {
    if (!error) self->finish();
  });
}

void RelaySocket::finish() {
  if (finished_) return;
  finished_ = true;
  outbox_.close();
  establishTimer_.cancel();
  closeGraceTimer_.cancel();
  stopWaits();
  finished();
  if (bridge_) bridge_->close();
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(boost::asio::ip::tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).close();
}

void RelaySocket::readNext() {
  ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (error) return self->finish();
    auto data = beast::buffers_to_string(self->buffer_.data());
    self->buffer_.consume(self->buffer_.size());
    if (self->bridge_) {
      return self->bridge_->send(std::move(data), !self->ws_.got_text(), [self] {
        if (!self->finished_) self->readNext();
      });
    }
    if (self->handle(std::move(data), !self->ws_.got_text()) && !self->finished_) self->readNext();
  });
}

bool RelaySocket::bridge(std::shared_ptr<PeerBridge> bridge, std::size_t messageMax) {
  if (finished_ || !slot_->proved()) {
    bridge->close();
    finish();
    return false;
  }
  bridge_ = std::move(bridge);
  established_ = true;
  ws_.read_message_max(messageMax);
  bridge_->attach(shared_from_this());
  readNext();
  return true;
}

std::string RelaySocket::deviceFrom() const {
  return "device " + escapeForLog(deviceId_) + " from " + escapeForLog(slot_->address);
}

}  // namespace qova::server
