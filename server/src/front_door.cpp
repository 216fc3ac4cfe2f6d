#include "front_door.h"

#include <algorithm>
#include <optional>

#include <boost/asio/write.hpp>

#include "agent_control.h"
#include "cluster.h"
#include "security_headers.h"
#include "session_connection.h"
#include "viewer_assets.h"
#include "viewer_connection.h"

namespace qova::server {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = RelayState::Clock;

namespace {

constexpr std::size_t kHeaderLimit = 8 * 1024;
// Before it is a WebSocket, a connection may load the page for this long, whatever it keeps alive.
constexpr std::chrono::seconds kPageDeadline{60};
// Out of descriptors: accepting waits this long, doubling up to kAcceptBackOffCap, instead of spinning.
constexpr std::chrono::milliseconds kAcceptBackOff{50};
constexpr std::chrono::milliseconds kAcceptBackOffCap{1000};

enum class Role { Agent, Session, Viewer };

// A new connection until it is a WebSocket: TLS (plain HTTP is refused), then requests for the
// page's files or one upgrade.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket&& socket, std::shared_ptr<AddressSlot> slot)
      : stream_(std::move(socket)), slot_(std::move(slot)), pageDeadline_(Clock::now() + kPageDeadline) {}

  void start() {
    stream_.expires_after(kHandshakeTimeout);
    beast::async_detect_ssl(stream_, buffer_, [self = shared_from_this()](beast::error_code error, bool tls) {
      if (error) return self->stream_.close();
      if (!tls) return self->refusePlain();
      self->tls_.emplace(std::move(self->stream_), self->slot_->state->tls);
      self->tls_->async_handshake(ssl::stream_base::server, self->buffer_.data(),
                                  [self](beast::error_code error, std::size_t used) {
                                    if (error) return beast::get_lowest_layer(*self->tls_).close();
                                    self->buffer_.consume(used);
                                    self->readRequest();
                                  });
    });
  }

 private:
  void refusePlain() {
    static const std::string kAnswer =
        "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\nContent-Length: 31\r\n\r\n"
        "This server speaks HTTPS only.\n";
    net::async_write(stream_, net::buffer(kAnswer), [self = shared_from_this()](beast::error_code, std::size_t) {
      beast::error_code ignored;
      self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
      self->stream_.close();
    });
  }

  void readRequest() {
    parser_.emplace();
    parser_->header_limit(kHeaderLimit);
    parser_->body_limit(0);
    // Each request gets its own time, but kept alive the connection still ends at its deadline.
    beast::get_lowest_layer(*tls_).expires_at(std::min(Clock::now() + kHandshakeTimeout, pageDeadline_));
    http::async_read(*tls_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return beast::get_lowest_layer(*self->tls_).close();
      self->handleRequest();
    });
  }

  void handleRequest() {
    const auto& request = parser_->get();
    const auto target = std::string_view(request.target());
    const auto path = target.substr(0, target.find('?'));
    if (websocket::is_upgrade(request)) return upgrade(path);
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return respond(http::status::method_not_allowed, "GET only\n", "text/plain; charset=utf-8", false);
    }
    const auto* asset = common::findViewerAsset(path == "/" ? "/index.html" : path);
    if (!asset) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8", request.keep_alive());
    respond(http::status::ok, std::string(asset->body), std::string(asset->contentType), request.keep_alive());
  }

  void upgrade(std::string_view path) {
    const auto role = path == "/agent"     ? std::optional(Role::Agent)
                      : path == "/session" ? std::optional(Role::Session)
                      : path == "/viewer"  ? std::optional(Role::Viewer)
                                           : std::nullopt;
    if (!role) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8", false);
    // Another server of the cluster passing on a client that landed there: it vouches for the
    // client's address, whose budgets and caps then apply here.
    const auto vouch = parser_->get().find(kVouchHeader);
    const auto& secret = slot_->state->options.clusterSecret;
    if (vouch != parser_->get().end() && !secret.empty()) {
      const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
      const auto address = vouchedAddress(secret, std::string(vouch->value()), now.count());
      if (!address) return respond(http::status::forbidden, "forbidden\n", "text/plain; charset=utf-8", false);
      slot_ = std::make_shared<AddressSlot>(slot_->state, *address);
    } else {
      // Agents are programs, not pages: any Origin on their paths is a browser some site is using.
      const bool allowed = role == Role::Viewer ? fromOwnPage() : !parser_->get().count(http::field::origin);
      if (!allowed) return respond(http::status::forbidden, "forbidden\n", "text/plain; charset=utf-8", false);
    }
    // Our clients wait for the upgrade's answer before they send: nothing is left in buffer_.
    std::shared_ptr<RelaySocket> socket;
    switch (*role) {
      case Role::Agent:
        socket = std::make_shared<AgentControl>(std::move(*tls_), slot_);
        break;
      case Role::Session:
        socket = std::make_shared<SessionConnection>(std::move(*tls_), slot_);
        break;
      case Role::Viewer:
        socket = std::make_shared<ViewerConnection>(std::move(*tls_), slot_);
        break;
    }
    socket->accept(parser_->release());
  }

  // Only our own page may open a viewer WebSocket: browsers name the page's origin.
  bool fromOwnPage() const {
    const auto& request = parser_->get();
    const auto origin = std::string_view(request[http::field::origin]);
    const auto& wanted = slot_->state->options.origin;
    if (!wanted.empty()) return origin == wanted;
    const auto host = std::string_view(request[http::field::host]);
    return !host.empty() && origin == "https://" + std::string(host);
  }

  void respond(http::status status, std::string body, const std::string& contentType, bool keepAlive) {
    auto response = std::make_shared<http::response<http::string_body>>(status, 11);
    response->set(http::field::server, "qova-server");
    response->set(http::field::content_type, contentType);
    response->set(http::field::cache_control, "no-store");
    common::setSecurityHeaders(*response, true);
    const bool head = parser_->get().method() == http::verb::head;
    response->body() = std::move(body);
    response->keep_alive(keepAlive);
    response->prepare_payload();
    if (head) response->body().clear();
    http::async_write(*tls_, *response, [self = shared_from_this(), response, keepAlive](beast::error_code error, std::size_t) {
      if (error || !keepAlive) return beast::get_lowest_layer(*self->tls_).close();
      self->readRequest();
    });
  }

  beast::tcp_stream stream_;
  std::optional<TlsStream> tls_;
  beast::flat_buffer buffer_;
  std::shared_ptr<AddressSlot> slot_;
  std::optional<http::request_parser<http::empty_body>> parser_;
  Clock::time_point pageDeadline_;
};

}  // namespace

void acceptConnections(RelayState& state, tcp::acceptor& acceptor) {
  acceptor.async_accept([&state, &acceptor](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (error) {
      // Out of descriptors or memory the connection stays in the backlog: try again later, never at
      // once (that would spin). Other failures (a connection reset before it was taken)
      // wait the shortest time.
      auto& backOff = state.acceptBackOff;
      backOff = std::clamp(backOff * 2, kAcceptBackOff, kAcceptBackOffCap);
      if (Clock::now() - state.acceptNoticed > std::chrono::minutes(1)) {
        state.acceptNoticed = Clock::now();
        state.log.line("accepting failed, waiting before the next (" + error.message() + ")");
      }
      state.acceptTimer.expires_after(backOff);
      state.acceptTimer.async_wait([&state, &acceptor](beast::error_code error) {
        if (!error) acceptConnections(state, acceptor);
      });
      return;
    }
    state.acceptBackOff = {};
    beast::error_code ec;
    const auto address = socket.remote_endpoint(ec).address().to_string();
    const auto& options = state.options;
    // Over a cap the socket is closed as it goes out of scope.
    // Frames and input are small writes that must leave at once, not wait for an acknowledgement.
    socket.set_option(tcp::no_delay(true), ec);
    if (!ec && state.connections < options.maxConnections && countOf(state.perAddress, address) < options.maxPerAddress) {
      // The slot shares the state: connections still open keep it after the relay is gone.
      std::make_shared<Connection>(std::move(socket), std::make_shared<AddressSlot>(state.shared_from_this(), address))
          ->start();
    }
    acceptConnections(state, acceptor);
  });
}

}  // namespace qova::server
