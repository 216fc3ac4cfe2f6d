#include "peer_bridge.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <boost/asio/ssl/host_name_verification.hpp>

#include "cluster.h"
#include "hex.h"
#include "relay_state.h"

namespace qova::server {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;

namespace {

constexpr std::chrono::seconds kDialTimeout{5};
constexpr std::chrono::seconds kIdleTimeout{30};
// A frame is the largest thing a session carries, and a sealed one a little larger.
constexpr std::size_t kMaxPeerMessage = 8 * 1024 * 1024 + 4096;

std::string leafFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
  return common::toHex(std::string_view(reinterpret_cast<const char*>(digest), size));
}

struct Dial {
  tcp::resolver resolver;
  std::shared_ptr<WebSocket> ws;
  std::string host, port, path, vouch, first;
  std::function<void(std::shared_ptr<PeerBridge>)> done;
};

}  // namespace

PeerBridge::PeerBridge(std::shared_ptr<WebSocket> ws) : ws_(std::move(ws)), outbox_(*ws_, [this] { close(); }) {}

void PeerBridge::open(RelayState& state, const std::string& peer, const std::string& path, const std::string& address,
                      std::string first, std::function<void(std::shared_ptr<PeerBridge>)> done) {
  // "wss://host:port", as this server's peers are configured.
  auto rest = std::string_view(peer);
  if (!rest.starts_with("wss://")) return done(nullptr);
  rest.remove_prefix(6);
  const auto colon = rest.rfind(':');
  std::string host(colon == std::string_view::npos ? rest : rest.substr(0, colon));
  std::string port(colon == std::string_view::npos ? "443" : rest.substr(colon + 1));
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch());
  auto d = std::make_shared<Dial>(Dial{tcp::resolver(state.io),
                                       std::make_shared<WebSocket>(state.io, state.peerTls),
                                       host, port, path, vouchForAddress(state.options.clusterSecret, address, now.count()),
                                       std::move(first), std::move(done)});
  // The peer shows the certificate this server shows (servers behind one name share it), or one
  // the system's CAs vouch for under the peer's name.
  d->ws->next_layer().set_verify_mode(ssl::verify_peer);
  d->ws->next_layer().set_verify_callback(
      [own = state.options.fingerprint, host](bool preverified, ssl::verify_context& verify) {
        auto* store = verify.native_handle();
        if (X509_STORE_CTX_get_error_depth(store) > 0) return true;
        if (!own.empty() && leafFingerprint(X509_STORE_CTX_get_current_cert(store)) == own) return true;
        return ssl::host_name_verification(host)(preverified, verify);
      });
  auto fail = [d](beast::error_code) { d->done(nullptr); };
  d->resolver.async_resolve(d->host, d->port, [d, fail](beast::error_code error, tcp::resolver::results_type found) {
    if (error) return fail(error);
    auto& stream = beast::get_lowest_layer(*d->ws);
    stream.expires_after(kDialTimeout);
    stream.async_connect(found, [d, fail](beast::error_code error, const tcp::endpoint&) {
      if (error) return fail(error);
      beast::get_lowest_layer(*d->ws).socket().set_option(tcp::no_delay(true), error);
      SSL_set_tlsext_host_name(d->ws->next_layer().native_handle(), d->host.c_str());
      d->ws->next_layer().async_handshake(ssl::stream_base::client, [d, fail](beast::error_code error) {
        if (error) return fail(error);
        beast::get_lowest_layer(*d->ws).expires_never();
        d->ws->set_option(websocket::stream_base::timeout{kDialTimeout, kIdleTimeout, true});
        d->ws->auto_fragment(false);
        d->ws->read_message_max(kMaxPeerMessage);
        d->ws->set_option(websocket::stream_base::decorator([vouch = d->vouch](websocket::request_type& request) {
          request.set(kVouchHeader, vouch);
        }));
        d->ws->async_handshake(d->host + ":" + d->port, d->path, [d, fail](beast::error_code error) {
          if (error) return fail(error);
          auto bridge = std::make_shared<PeerBridge>(d->ws);
          bridge->send(std::move(d->first), false, {});
          d->done(bridge);
        });
      });
    });
  });
}

void PeerBridge::attach(const std::shared_ptr<RelaySocket>& client) {
  client_ = client;
  readNext();
}

void PeerBridge::send(std::string data, bool binary, std::function<void()> written) {
  if (!closed_ && !outbox_.push(std::move(data), binary, shared_from_this(), std::move(written))) close();
}

void PeerBridge::readNext() {
  ws_->async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    auto client = self->client_.lock();
    if (error || !client) {
      self->close();
      if (client) client->finish();
      return;
    }
    auto data = beast::buffers_to_string(self->buffer_.data());
    self->buffer_.consume(self->buffer_.size());
    client->push(std::move(data), !self->ws_->got_text(), [self] {
      if (!self->closed_) self->readNext();
    });
  });
}

void PeerBridge::close() {
  if (closed_) return;
  closed_ = true;
  outbox_.close();
  beast::error_code ignored;
  beast::get_lowest_layer(*ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(*ws_).close();
  if (auto client = client_.lock()) client->finish();
}

}  // namespace qova::server
