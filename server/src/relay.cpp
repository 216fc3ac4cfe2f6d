#include "relay.h"

#include <iostream>
#include <optional>
#include <unordered_map>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include "access_guard.h"
#include "device_key.h"
#include "device_registry.h"
#include "limiter_table.h"
#include "message_outbox.h"
#include "protocol.h"
#include "viewer_assets.h"

namespace qova::server {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using Json = nlohmann::json;
using agent::GuessLimiter;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;
using WebSocket = websocket::stream<TlsStream>;

namespace {

// TLS handshake and each request's header; also how long a WebSocket handshake may take.
constexpr std::chrono::seconds kHandshakeTimeout{10};
// Heartbeats: a quiet WebSocket is pinged after half of this, and let go after all of it.
constexpr std::chrono::seconds kIdleTimeout{30};
// An agent that has not proved its key, or a viewer not let through, by then is let go.
constexpr std::chrono::seconds kEstablishDeadline{60};
constexpr std::chrono::seconds kAgentAnswerTimeout{5};
constexpr std::chrono::seconds kSessionJoinTimeout{10};
constexpr std::chrono::seconds kCloseGrace{5};
constexpr std::size_t kHeaderLimit = 8 * 1024;
constexpr std::size_t kMaxAgentMessage = 4 * 1024;
constexpr std::size_t kMaxLoginMessage = 256;
// Input, text and upload pieces from a viewer, as the local page allows them.
constexpr std::size_t kMaxViewerMessage = 512 * 1024 + 4096;
constexpr std::size_t kMaxFrameMessage = 8 * 1024 * 1024;
constexpr std::chrono::seconds kRegistrySaveDelay{1};

constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; img-src 'self' blob: data:; connect-src 'self'; script-src 'self'; "
    "style-src 'self'; frame-ancestors 'none'; base-uri 'none'; form-action 'none'";

void audit(const std::string& line) { std::cerr << "[server] " << line << std::endl; }

class Peer;

}  // namespace

struct Relay::State {
  State(net::io_context& io, ssl::context& tls, RelayOptions options)
      : io(io), tls(tls), options(std::move(options)), registry(this->options.registryFile), saveTimer(io) {}

  // The registered control connection of a device, if it is online; never adds an entry.
  std::shared_ptr<Peer> agent(const std::string& deviceId) const {
    const auto found = agents.find(deviceId);
    return found == agents.end() ? nullptr : found->second.lock();
  }

  void scheduleSave() {
    if (saveArmed) return;
    saveArmed = true;
    // Registrations come in bursts when a network returns: one write covers many.
    saveTimer.expires_after(kRegistrySaveDelay);
    saveTimer.async_wait([this](beast::error_code error) {
      saveArmed = false;
      if (!error && !registry.save()) audit("cannot write the device registry " + options.registryFile);
    });
  }

  struct Pending {
    std::weak_ptr<Peer> viewer;
    std::string deviceId;
    bool accepted = false;
  };

  net::io_context& io;
  ssl::context& tls;
  RelayOptions options;
  DeviceRegistry registry;
  LimiterTable byDevice;
  LimiterTable byAddress;
  LimiterTable newDevices;  // by address
  std::unordered_map<std::string, std::weak_ptr<Peer>> agents;
  std::unordered_map<std::string, Pending> pending;  // by ticket
  std::unordered_map<std::string, std::size_t> perAddress;
  std::size_t connections = 0;
  net::steady_timer saveTimer;
  bool saveArmed = false;
};

namespace {

using State = Relay::State;

// A connection's place in the total count and, until it has proved itself (a registered agent, a
// joined session, a viewer let through), in its address's count: the cap per address is for
// connections that have shown nothing yet, so many devices behind one NAT address are not turned away.
struct AddressSlot {
  AddressSlot(std::shared_ptr<State> state, std::string address) : state(std::move(state)), address(std::move(address)) {
    ++this->state->perAddress[this->address];
    ++this->state->connections;
  }
  ~AddressSlot() {
    proved();
    --state->connections;
  }
  void proved() {
    if (!counted) return;
    counted = false;
    if (--state->perAddress[address] == 0) state->perAddress.erase(address);
  }
  std::shared_ptr<State> state;
  std::string address;
  bool counted = true;
};

// One WebSocket: an agent's control connection, an agent's session connection, or a viewer.
class Peer : public std::enable_shared_from_this<Peer> {
 public:
  enum class Role { Agent, Session, Viewer };

  Peer(TlsStream&& stream, Role role, std::shared_ptr<AddressSlot> slot)
      : ws_(std::move(stream)), role_(role), slot_(std::move(slot)), state_(*slot_->state),
        outbox_(ws_, [this] { finish(); }), deadline_(state_.io), timer_(state_.io) {}

  void accept(http::request<http::empty_body> request) {
    beast::get_lowest_layer(ws_).expires_never();
    ws_.set_option(websocket::stream_base::timeout{kHandshakeTimeout, kIdleTimeout, true});
    ws_.set_option(websocket::stream_base::decorator(
        [](websocket::response_type& response) { response.set(http::field::server, "qova-server"); }));
    ws_.read_message_max(role_ == Role::Viewer ? kMaxLoginMessage : kMaxAgentMessage);
    // A frame leaves as one WebSocket frame, not as hundreds of 4 KiB ones each in its own TLS record.
    ws_.auto_fragment(false);
    deadline_.expires_after(kEstablishDeadline);
    deadline_.async_wait([weak = weak_from_this()](beast::error_code error) {
      auto self = weak.lock();
      if (!error && self && !self->established_) self->finish();
    });
    ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
      if (error) return self->finish();
      self->readNext();
    });
  }

  void push(std::string message, bool binary = false, std::function<void()> sent = {}) {
    if (!finished_ && !outbox_.push(std::move(message), binary, shared_from_this(), std::move(sent))) finish();
  }
  void frame(std::shared_ptr<const std::string> frame) {
    if (!finished_) outbox_.frame(std::move(frame), shared_from_this());
  }

  // Says why, then closes; a peer that does not read is closed anyway a little later.
  void closeWith(const Json& message) {
    if (finished_) return;
    push(message.dump(), false, [self = shared_from_this()] { self->finish(); });
    timer_.expires_after(kCloseGrace);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->finish();
    });
  }

  // On the viewer: what the device's agent said about its access code.
  void loginAnswered(const LoginResult& result) {
    if (!attempt_ || finished_) return;
    if (!result.ok) return answerLater(result.retryMs > 0 ? "refused by the device's guess limit" : "wrong access code",
                                       result.retryMs);
    state_.pending[ticket_].accepted = true;
    state_.byAddress.succeeded(slot_->address);
    state_.byDevice.succeeded(deviceId_);
    audit("login to device " + deviceId_ + " from " + slot_->address + ": accepted");
    timer_.expires_after(kSessionJoinTimeout);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->answerLater("the device opened no session", 0);
    });
  }

  // On the viewer: the agent's session connection for it is here; from now on they talk.
  void joined(const std::shared_ptr<Peer>& session) {
    attempt_ = false;
    established_ = true;
    partner_ = session;
    slot_->proved();
    timer_.cancel();
    ws_.read_message_max(kMaxViewerMessage);
    lastInput_ = Clock::now();
    armIdleCheck();
    deadline_.expires_after(state_.options.sessionTotal);
    deadline_.async_wait([weak = weak_from_this()](beast::error_code error) {
      auto self = weak.lock();
      if (!error && self) self->endSession("time");
    });
  }

  void finish() {
    if (finished_) return;
    finished_ = true;
    outbox_.close();
    deadline_.cancel();
    timer_.cancel();
    if (role_ == Role::Agent && registered_) {
      const auto found = state_.agents.find(deviceId_);
      if (found != state_.agents.end() && found->second.lock().get() == this) state_.agents.erase(found);
      audit("device " + deviceId_ + " offline");
    }
    if (role_ == Role::Viewer && !ticket_.empty()) state_.pending.erase(ticket_);
    if (auto partner = partner_.lock()) {
      if (role_ == Role::Session) {
        partner->closeWith({{"type", "offline"}});
      } else {
        partner->finish();
      }
    }
    beast::error_code ignored;
    beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(ws_).close();
  }

 private:
  void readNext() {
    ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return self->finish();
      auto data = beast::buffers_to_string(self->buffer_.data());
      self->buffer_.consume(self->buffer_.size());
      if (self->handle(std::move(data), !self->ws_.got_text()) && !self->finished_) self->readNext();
    });
  }

  // False when reading goes on later (a viewer's message waits to be written to its device).
  bool handle(std::string data, bool binary) {
    switch (role_) {
      case Role::Agent:
        return handleAgent(data, binary);
      case Role::Session:
        return handleSession(std::move(data), binary);
      case Role::Viewer:
        return handleViewer(std::move(data), binary);
    }
    return false;
  }

  bool handleAgent(const std::string& data, bool binary) {
    const auto message = binary ? std::nullopt : parseAgentMessage(data);
    if (!message) return finish(), false;
    if (const auto* hello = std::get_if<AgentHello>(&*message); hello && stage_ == Stage::Hello) {
      deviceId_ = hello->deviceId;
      publicKey_ = hello->publicKey;
      nonce_ = agent::randomHex(32);
      stage_ = Stage::Proof;
      push(Json{{"type", "challenge"}, {"nonce", nonce_}}.dump());
      return true;
    }
    if (const auto* proof = std::get_if<AgentProof>(&*message); proof && stage_ == Stage::Proof) {
      register_(*proof);
      return true;
    }
    if (const auto* result = std::get_if<LoginResult>(&*message); result && registered_) {
      // A late answer for an attempt already given up is not an error of the agent's.
      const auto found = state_.pending.find(result->ticket);
      if (found == state_.pending.end() || found->second.deviceId != deviceId_) return true;
      if (auto viewer = found->second.viewer.lock()) viewer->loginAnswered(*result);
      return true;
    }
    return finish(), false;
  }

  void register_(const AgentProof& proof) {
    stage_ = Stage::Done;
    if (!agent::verifyDeviceSignature(publicKey_, agent::deviceProofText(deviceId_, nonce_), proof.signature)) {
      audit("device " + deviceId_ + " from " + slot_->address + " refused: bad signature");
      return closeWith({{"type", "refused"}, {"reason", "the key did not sign"}});
    }
    // New device IDs cost their address a share of a budget like the guessing one, so one address
    // cannot fill the registry; a known device coming back costs nothing.
    if (!state_.registry.knows(deviceId_) && state_.newDevices.admit(slot_->address) > Clock::duration::zero()) {
      audit("device " + deviceId_ + " from " + slot_->address + " refused: too many new devices from this address");
      return closeWith({{"type", "refused"}, {"reason", "too many new devices, try later"}});
    }
    const auto claim = state_.registry.claim(deviceId_, publicKey_);
    if (claim == DeviceRegistry::Claim::Conflict || claim == DeviceRegistry::Claim::Full) {
      audit("device " + deviceId_ + " from " + slot_->address + " refused: " +
            (claim == DeviceRegistry::Claim::Full ? "registry full" : "the ID belongs to another key"));
      return closeWith({{"type", "refused"},
                        {"reason", claim == DeviceRegistry::Claim::Full ? "registry full" : "device ID taken"}});
    }
    if (claim == DeviceRegistry::Claim::Registered) state_.scheduleSave();
    // The same key again: the device reconnected before its old connection timed out, or a second
    // copy of the agent runs with the same state. The old connection is told, so a copy backs off.
    if (auto previous = state_.agent(deviceId_); previous && previous.get() != this) {
      previous->closeWith({{"type", "replaced"}});
    }
    state_.agents[deviceId_] = weak_from_this();
    registered_ = established_ = true;
    slot_->proved();
    audit("device " + deviceId_ + " online from " + slot_->address);
    push(Json{{"type", "welcome"}, {"deviceId", deviceId_}}.dump());
  }

  bool handleSession(std::string data, bool binary) {
    if (auto viewer = partner_.lock()) {
      // Frames: only the newest waits for a slow viewer. Messages: bounded, in order.
      if (binary) {
        viewer->frame(std::make_shared<const std::string>(std::move(data)));
      } else {
        viewer->push(std::move(data));
      }
      return true;
    }
    if (established_) return finish(), false;  // its viewer is gone
    const auto message = binary ? std::nullopt : parseAgentMessage(data);
    const auto* join = message ? std::get_if<SessionJoin>(&*message) : nullptr;
    const auto found = join ? state_.pending.find(join->ticket) : state_.pending.end();
    // Only a ticket the device's agent accepted, presented for that device while it is online.
    if (found == state_.pending.end() || !found->second.accepted || found->second.deviceId != join->deviceId ||
        !state_.agent(join->deviceId)) {
      return finish(), false;
    }
    auto viewer = found->second.viewer.lock();
    state_.pending.erase(found);
    if (!viewer) return finish(), false;
    established_ = true;
    slot_->proved();
    partner_ = viewer;
    ws_.read_message_max(kMaxFrameMessage);
    viewer->joined(shared_from_this());
    return true;
  }

  bool handleViewer(std::string data, bool binary) {
    if (auto session = partner_.lock()) {
      lastInput_ = Clock::now();
      // The next message is read once this one is written: a viewer faster than its device's
      // connection is slowed, never buffered. Until then the message's callback keeps this viewer.
      session->push(std::move(data), binary, [self = shared_from_this()] {
        if (!self->finished_) self->readNext();
      });
      return false;
    }
    if (established_) return finish(), false;
    const auto login = binary ? std::nullopt : parseViewerLogin(data);
    // Our page sends nothing else before it is let through, and waits for each answer.
    if (!login || attempt_) return finish(), false;
    tryLogin(*login);
    return true;
  }

  void tryLogin(const ViewerLogin& login) {
    deviceId_ = login.deviceId;
    // The address's budget first: an address over its own budget does not spend the device's.
    auto wait = state_.byAddress.admit(slot_->address);
    if (wait == wait.zero()) wait = state_.byDevice.admit(deviceId_);
    if (wait > wait.zero()) {
      audit("login to device " + deviceId_ + " from " + slot_->address + ": not judged, too many tries");
      push(Json{{"type", "auth"}, {"ok", false}, {"retryMs", std::chrono::ceil<std::chrono::milliseconds>(wait).count()}}
               .dump());
      return;
    }
    attempt_ = true;
    attemptStart_ = Clock::now();
    auto agent = state_.agent(deviceId_);
    if (!agent) return answerLater("unknown or offline device", 0);
    ticket_ = agent::randomHex(16);
    state_.pending[ticket_] = {weak_from_this(), deviceId_, false};
    agent->push(Json{{"type", "login"}, {"ticket", ticket_}, {"code", login.code}, {"address", slot_->address}}.dump());
    timer_.expires_after(kAgentAnswerTimeout);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->answerLater("the device did not answer", 0);
    });
  }

  // A refusal, given no sooner than a wrong code's delay after the attempt: an unknown ID, an
  // offline device and a wrong code look the same to the viewer.
  void answerLater(const std::string& why, std::int64_t retryMs) {
    state_.pending.erase(ticket_);
    ticket_.clear();
    audit("login to device " + deviceId_ + " from " + slot_->address + ": refused, " + why);
    timer_.expires_at(attemptStart_ + GuessLimiter::kWrongCodeDelay);
    timer_.async_wait([self = shared_from_this(), retryMs](beast::error_code error) {
      if (error || self->finished_) return;
      self->attempt_ = false;
      Json answer{{"type", "auth"}, {"ok", false}};
      if (retryMs > 0) answer["retryMs"] = retryMs;
      self->push(answer.dump());
    });
  }

  void armIdleCheck() {
    timer_.expires_at(lastInput_ + state_.options.sessionIdle);
    timer_.async_wait([weak = weak_from_this()](beast::error_code error) {
      auto self = weak.lock();
      if (error || !self) return;
      if (Clock::now() - self->lastInput_ >= self->state_.options.sessionIdle) return self->endSession("idle");
      self->armIdleCheck();
    });
  }

  void endSession(const char* reason) {
    audit("session with device " + deviceId_ + " from " + slot_->address + " ended: " + reason);
    // Parted first: the session's end must not tell this viewer the device went offline.
    auto session = partner_.lock();
    partner_.reset();
    if (session) {
      session->partner_.reset();
      session->finish();
    }
    closeWith({{"type", "ended"}, {"reason", reason}});
  }

  enum class Stage { Hello, Proof, Done };

  WebSocket ws_;
  Role role_;
  std::shared_ptr<AddressSlot> slot_;
  State& state_;
  agent::MessageOutbox<WebSocket> outbox_;
  beast::flat_buffer buffer_;
  net::steady_timer deadline_;
  net::steady_timer timer_;
  std::weak_ptr<Peer> partner_;
  std::string deviceId_;
  std::string publicKey_;
  std::string nonce_;
  std::string ticket_;
  Stage stage_ = Stage::Hello;
  Clock::time_point attemptStart_{};
  Clock::time_point lastInput_{};
  bool attempt_ = false;
  bool registered_ = false;
  bool established_ = false;
  bool finished_ = false;
};

// A new connection until it is a WebSocket: TLS (plain HTTP is refused), then requests for the
// page's files or one upgrade.
class Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(tcp::socket&& socket, std::shared_ptr<AddressSlot> slot) : stream_(std::move(socket)), slot_(std::move(slot)) {}

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
    beast::get_lowest_layer(*tls_).expires_after(kHandshakeTimeout);
    http::async_read(*tls_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return beast::get_lowest_layer(*self->tls_).close();
      self->handleRequest();
    });
  }

  void handleRequest() {
    const auto& request = parser_->get();
    const auto target = std::string_view(request.target());
    const auto path = target.substr(0, target.find('?'));
    if (websocket::is_upgrade(request)) {
      const auto role = path == "/agent"     ? std::optional(Peer::Role::Agent)
                        : path == "/session" ? std::optional(Peer::Role::Session)
                        : path == "/viewer"  ? std::optional(Peer::Role::Viewer)
                                             : std::nullopt;
      if (!role) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8", false);
      if (role == Peer::Role::Viewer && !fromOwnPage()) {
        return respond(http::status::forbidden, "forbidden\n", "text/plain; charset=utf-8", false);
      }
      // Our clients wait for the upgrade's answer before they send: nothing is left in buffer_.
      std::make_shared<Peer>(std::move(*tls_), *role, slot_)->accept(parser_->release());
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return respond(http::status::method_not_allowed, "GET only\n", "text/plain; charset=utf-8", false);
    }
    const auto* asset = agent::findViewerAsset(path == "/" ? "/index.html" : path);
    if (!asset) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8", request.keep_alive());
    respond(http::status::ok, std::string(asset->body), std::string(asset->contentType), request.keep_alive());
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
    response->set(http::field::strict_transport_security, "max-age=31536000");
    response->set("X-Content-Type-Options", "nosniff");
    response->set("Referrer-Policy", "no-referrer");
    response->set("Content-Security-Policy", kContentSecurityPolicy);
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
};

}  // namespace

Relay::Relay(net::io_context& io, ssl::context& tls, RelayOptions options)
    : state_(std::make_shared<State>(io, tls, std::move(options))) {}

Relay::~Relay() { state_->registry.save(); }

void Relay::serve(tcp::acceptor& acceptor) {
  acceptor.async_accept([this, &acceptor](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (!error) {
      beast::error_code ec;
      const auto address = socket.remote_endpoint(ec).address().to_string();
      const auto& options = state_->options;
      const auto used = state_->perAddress.find(address);
      // Over a cap the socket is closed as it goes out of scope.
      // Frames and input are small writes that must leave at once, not wait for an acknowledgement.
      socket.set_option(tcp::no_delay(true), ec);
      if (!ec && state_->connections < options.maxConnections &&
          (used == state_->perAddress.end() || used->second < options.maxPerAddress)) {
        std::make_shared<Connection>(std::move(socket), std::make_shared<AddressSlot>(state_, address))->start();
      }
    }
    serve(acceptor);
  });
}

}  // namespace qova::server
