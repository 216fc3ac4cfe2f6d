#include "relay.h"

#include <algorithm>
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
#include "audit_log.h"
#include "device_key.h"
#include "device_registry.h"
#include "limiter_table.h"
#include "message_outbox.h"
#include "new_device_budget.h"
#include "protocol.h"
#include "random_bytes.h"
#include "security_headers.h"
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
using common::GuessLimiter;
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
// Text from a device to its viewer is status and answers: far below a frame, so a device that sends
// text its viewer does not read parks little (the outbox bounds the bytes as well).
constexpr std::size_t kMaxSessionText = 64 * 1024;
// Logins from one address are judged at a fifth of a device's rate, so one address (or a few) cannot
// spend a device's whole budget and keep its owner out.
constexpr GuessLimiter::Rate kAddressLoginRate{GuessLimiter::kBurst, 5 * GuessLimiter::kRefill};
// Before it is a WebSocket, a connection may load the page for this long, whatever it keeps alive.
constexpr std::chrono::seconds kPageDeadline{60};
// Out of descriptors: accepting waits this long, doubling up to kAcceptBackOffCap, instead of spinning.
constexpr std::chrono::milliseconds kAcceptBackOff{50};
constexpr std::chrono::milliseconds kAcceptBackOffCap{1000};
// How often the counts of folded refusals are looked at; a count is written this much late at most.
constexpr std::chrono::seconds kAuditFlushEvery{5};
constexpr std::chrono::hours kForgetInterval{1};
constexpr std::size_t kForgetSlice = 10000;

// The registry's writer thread reports here: one whole line at a time, beside the network thread's.
void registryProblem(const std::string& text) { std::cerr << ("[server] " + text + "\n") << std::flush; }

class Peer;

}  // namespace

struct Relay::State {
  State(net::io_context& io, ssl::context& tls, RelayOptions options)
      : io(io), tls(tls), options(std::move(options)), registry(this->options.registryFile, registryProblem),
        byAddress(kAddressLoginRate), newDeviceBudget(this->options.newDevicesPerMinute), forgetTimer(io),
        acceptTimer(io), auditTimer(io) {
    forgetUnseen();
  }

  std::size_t establishedCap() const {
    return std::min(options.maxEstablishedPerAddress, std::max<std::size_t>(1, options.maxConnections / 4));
  }

  // The registered control connection of a device, if it is online; never adds an entry.
  std::shared_ptr<Peer> agent(const std::string& deviceId) const {
    const auto found = agents.find(deviceId);
    return found == agents.end() ? nullptr : found->second.lock();
  }

  // Now and every hour. A device online all along has not proved its key lately, but is not unseen.
  // Many at once (those taken in together from an old devices.json) go in slices, other work between.
  void forgetUnseen() {
    for (const auto& [deviceId, peer] : agents) {
      if (!peer.expired()) registry.seen(deviceId);
    }
    const auto cutoff = DeviceRegistry::systemSeconds() - std::chrono::seconds(options.forgetAfter).count();
    const auto forgotten = registry.forgetUnseen(cutoff, kForgetSlice);
    if (forgotten > 0) {
      log.line("forgot " + std::to_string(forgotten) + " devices unseen for " +
               std::to_string(options.forgetAfter.count()) + " days");
    }
    forgetTimer.expires_after(forgotten == kForgetSlice ? Clock::duration::zero() : kForgetInterval);
    forgetTimer.async_wait([this](beast::error_code error) {
      if (!error) forgetUnseen();
    });
  }

  // A refusal a client can repeat at will: one line per address and minute, then a count.
  void refusal(const std::string& address, std::string text) {
    log.refusal(address, std::move(text));
    armAuditFlush();
  }

  void armAuditFlush() {
    if (auditArmed || !log.folding()) return;
    auditArmed = true;
    auditTimer.expires_after(kAuditFlushEvery);
    auditTimer.async_wait([this](beast::error_code error) {
      if (error) return;
      auditArmed = false;
      log.flush();
      armAuditFlush();
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
  NewDeviceBudget newDeviceBudget;  // for the whole server
  std::unordered_map<std::string, std::weak_ptr<Peer>> agents;
  std::unordered_map<std::string, Pending> pending;  // by ticket
  std::unordered_map<std::string, std::size_t> perAddress;   // not proved yet
  std::unordered_map<std::string, std::size_t> establishedPerAddress;
  std::unordered_map<std::string, std::size_t> viewersPerAddress;
  std::unordered_map<std::string, std::size_t> sessionsPerDevice;
  std::size_t connections = 0;
  net::steady_timer forgetTimer;
  net::steady_timer acceptTimer;
  std::chrono::milliseconds acceptBackOff{0};
  Clock::time_point acceptNoticed{};
  AuditLog log;
  net::steady_timer auditTimer;
  bool auditArmed = false;
};

// Counts in a map whose entries go when they reach zero, so addresses seen once leave nothing behind.
void countUp(std::unordered_map<std::string, std::size_t>& counts, const std::string& key) { ++counts[key]; }
void countDown(std::unordered_map<std::string, std::size_t>& counts, const std::string& key) {
  const auto found = counts.find(key);
  if (found != counts.end() && --found->second == 0) counts.erase(found);
}
std::size_t countOf(const std::unordered_map<std::string, std::size_t>& counts, const std::string& key) {
  const auto found = counts.find(key);
  return found == counts.end() ? 0 : found->second;
}

namespace {

using State = Relay::State;

// A connection's place in the total count and, until it has proved itself (a registered agent, a
// joined session, a viewer let through), in its address's count: the cap per address is for
// connections that have shown nothing yet, so many devices behind one NAT address are not turned away.
// Once proved, it counts among what its address holds, which has a cap of its own.
struct AddressSlot {
  AddressSlot(std::shared_ptr<State> state, std::string address) : state(std::move(state)), address(std::move(address)) {
    countUp(this->state->perAddress, this->address);
    ++this->state->connections;
  }
  ~AddressSlot() {
    if (counted) countDown(state->perAddress, address);
    if (established) countDown(state->establishedPerAddress, address);
    --state->connections;
  }
  // False, changing nothing, when the address holds all it may already.
  bool proved() {
    if (!counted) return true;
    if (countOf(state->establishedPerAddress, address) >= state->establishedCap()) return false;
    counted = false;
    established = true;
    countDown(state->perAddress, address);
    countUp(state->establishedPerAddress, address);
    return true;
  }
  std::shared_ptr<State> state;
  std::string address;
  bool counted = true;
  bool established = false;
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
    // A right code, but this device or this address already holds all the sessions it may.
    if (countOf(state_.sessionsPerDevice, deviceId_) >= state_.options.maxSessionsPerDevice ||
        countOf(state_.viewersPerAddress, slot_->address) >= state_.options.maxViewersPerAddress) {
      refusal("login to " + deviceFrom() + ": accepted, but too many sessions");
      state_.pending.erase(ticket_);
      ticket_.clear();
      return closeWith({{"type", "ended"}, {"reason", "too many sessions"}});
    }
    state_.pending[ticket_].accepted = true;
    state_.byAddress.succeeded(slot_->address);
    state_.byDevice.succeeded(deviceId_);
    state_.log.line("login to " + deviceFrom() + ": accepted");
    timer_.expires_after(kSessionJoinTimeout);
    timer_.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->answerLater("the device opened no session", 0);
    });
  }

  // On the viewer: the agent's session connection for it is here; from now on they talk.
  // False when this viewer's address holds all it may already.
  bool joined(const std::shared_ptr<Peer>& session) {
    if (!slot_->proved()) return false;
    attempt_ = false;
    established_ = true;
    partner_ = session;
    countUp(state_.sessionsPerDevice, deviceId_);
    countUp(state_.viewersPerAddress, slot_->address);
    timer_.cancel();
    ws_.read_message_max(kMaxViewerMessage);
    lastInput_ = Clock::now();
    armIdleCheck();
    deadline_.expires_after(state_.options.sessionTotal);
    deadline_.async_wait([weak = weak_from_this()](beast::error_code error) {
      auto self = weak.lock();
      if (!error && self) self->endSession("time");
    });
    return true;
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
      state_.log.line("device " + escapeForLog(deviceId_) + " offline");
    }
    if (role_ == Role::Viewer && !ticket_.empty()) state_.pending.erase(ticket_);
    if (role_ == Role::Viewer && established_) {
      countDown(state_.sessionsPerDevice, deviceId_);
      countDown(state_.viewersPerAddress, slot_->address);
    }
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
      nonce_ = common::randomHex(32);
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
    const auto text = common::deviceProofText(deviceId_, nonce_, proof.host, proof.fingerprint);
    if (!common::verifyDeviceSignature(publicKey_, text, proof.signature)) {
      refusal(deviceFrom() + " refused: bad signature");
      return closeWith({{"type", "refused"}, {"reason", "the key did not sign"}});
    }
    // A proof for another server reaches us when that server passed our challenge on to the agent:
    // accepting it would let that server log in here in the device's name.
    if (!proofNamesServer(proof, state_.options.fingerprint, state_.options.names)) {
      refusal(deviceFrom() + " refused: the proof names another server");
      return closeWith({{"type", "refused"}, {"reason", "wrong server"}});
    }
    // New device IDs cost their address a share of a budget like the guessing one, so one address
    // cannot fill the registry, then a share of the server's, so many addresses cannot either; the
    // address's first, so an address over its own budget does not spend the server's. A known device
    // coming back costs nothing.
    if (!state_.registry.knows(deviceId_)) {
      const bool addressOver = state_.newDevices.admit(slot_->address) > Clock::duration::zero();
      if (addressOver || !state_.newDeviceBudget.admit()) {
        refusal(deviceFrom() + " refused: too many new devices " +
              (addressOver ? "from this address" : "on this server"));
        return closeWith({{"type", "refused"}, {"reason", "too many new devices, try later"}});
      }
    }
    const auto claim = state_.registry.claim(deviceId_, publicKey_);
    if (claim == DeviceRegistry::Claim::Conflict || claim == DeviceRegistry::Claim::Full) {
      refusal(deviceFrom() + " refused: " +
              (claim == DeviceRegistry::Claim::Full ? "registry full" : "the ID belongs to another key"));
      return closeWith({{"type", "refused"},
                        {"reason", claim == DeviceRegistry::Claim::Full ? "registry full" : "device ID taken"}});
    }
    // The same key again: the device reconnected before its old connection timed out, or a second
    // copy of the agent runs with the same state. The old connection is told, so a copy backs off.
    if (auto previous = state_.agent(deviceId_); previous && previous.get() != this) {
      previous->closeWith({{"type", "replaced"}});
    }
    if (!slot_->proved()) {
      refusal(deviceFrom() + " refused: too many connections from this address");
      return closeWith({{"type", "refused"}, {"reason", "too many connections, try later"}});
    }
    state_.agents[deviceId_] = weak_from_this();
    registered_ = established_ = true;
    state_.log.line("device " + escapeForLog(deviceId_) + " online from " + escapeForLog(slot_->address));
    push(Json{{"type", "welcome"}, {"deviceId", deviceId_}}.dump());
  }

  bool handleSession(std::string data, bool binary) {
    if (auto viewer = partner_.lock()) {
      // Frames: only the newest waits for a slow viewer. Messages: bounded, in order.
      if (binary) {
        viewer->frame(std::make_shared<const std::string>(std::move(data)));
      } else if (data.size() > kMaxSessionText) {
        return finish(), false;
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
    if (!viewer || !slot_->proved()) return finish(), false;
    if (!viewer->joined(shared_from_this())) {
      viewer->closeWith({{"type", "ended"}, {"reason", "too many sessions"}});
      return finish(), false;
    }
    established_ = true;
    partner_ = viewer;
    ws_.read_message_max(kMaxFrameMessage);
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
      refusal("login to " + deviceFrom() + ": not judged, too many tries");
      push(Json{{"type", "auth"}, {"ok", false}, {"retryMs", std::chrono::ceil<std::chrono::milliseconds>(wait).count()}}
               .dump());
      return;
    }
    attempt_ = true;
    attemptStart_ = Clock::now();
    auto agent = state_.agent(deviceId_);
    if (!agent) return answerLater("unknown or offline device", 0);
    ticket_ = common::randomHex(16);
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
    refusal("login to " + deviceFrom() + ": refused, " + why);
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
    state_.log.line("session with " + deviceFrom() + " ended: " + reason);
    // Parted first: the session's end must not tell this viewer the device went offline.
    auto session = partner_.lock();
    partner_.reset();
    if (session) {
      session->partner_.reset();
      session->finish();
    }
    closeWith({{"type", "ended"}, {"reason", reason}});
  }

  // A viewer's device ID is whatever it typed: shown in the log, never obeyed by a terminal.
  std::string deviceFrom() const {
    return "device " + escapeForLog(deviceId_) + " from " + escapeForLog(slot_->address);
  }
  void refusal(std::string text) { state_.refusal(slot_->address, std::move(text)); }

  enum class Stage { Hello, Proof, Done };

  WebSocket ws_;
  Role role_;
  std::shared_ptr<AddressSlot> slot_;
  State& state_;
  common::MessageOutbox<WebSocket> outbox_;
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
    if (websocket::is_upgrade(request)) {
      const auto role = path == "/agent"     ? std::optional(Peer::Role::Agent)
                        : path == "/session" ? std::optional(Peer::Role::Session)
                        : path == "/viewer"  ? std::optional(Peer::Role::Viewer)
                                             : std::nullopt;
      if (!role) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8", false);
      // Agents are programs, not pages: any Origin on their paths is a browser some site is using.
      const bool allowed = role == Peer::Role::Viewer ? fromOwnPage() : !request.count(http::field::origin);
      if (!allowed) return respond(http::status::forbidden, "forbidden\n", "text/plain; charset=utf-8", false);
      // Our clients wait for the upgrade's answer before they send: nothing is left in buffer_.
      std::make_shared<Peer>(std::move(*tls_), *role, slot_)->accept(parser_->release());
      return;
    }
    if (request.method() != http::verb::get && request.method() != http::verb::head) {
      return respond(http::status::method_not_allowed, "GET only\n", "text/plain; charset=utf-8", false);
    }
    const auto* asset = common::findViewerAsset(path == "/" ? "/index.html" : path);
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

Relay::Relay(net::io_context& io, ssl::context& tls, RelayOptions options)
    : state_(std::make_shared<State>(io, tls, std::move(options))) {}

// Connections still open may keep the state, and so the registry, a little longer: what is queued is
// written now.
Relay::~Relay() { state_->registry.flush(); }

void Relay::serve(tcp::acceptor& acceptor) {
  acceptor.async_accept([this, &acceptor](beast::error_code error, tcp::socket socket) {
    if (error == net::error::operation_aborted) return;
    if (error) {
      // Out of descriptors or memory the connection stays in the backlog: try again later, never at
      // once (that would spin). Other failures (a connection reset before it was taken)
      // wait the shortest time.
      auto& backOff = state_->acceptBackOff;
      backOff = std::clamp(backOff * 2, kAcceptBackOff, kAcceptBackOffCap);
      if (Clock::now() - state_->acceptNoticed > std::chrono::minutes(1)) {
        state_->acceptNoticed = Clock::now();
        state_->log.line("accepting failed, waiting before the next (" + error.message() + ")");
      }
      state_->acceptTimer.expires_after(backOff);
      state_->acceptTimer.async_wait([this, &acceptor](beast::error_code error) {
        if (!error) serve(acceptor);
      });
      return;
    }
    state_->acceptBackOff = {};
    beast::error_code ec;
    const auto address = socket.remote_endpoint(ec).address().to_string();
    const auto& options = state_->options;
    // Over a cap the socket is closed as it goes out of scope.
    // Frames and input are small writes that must leave at once, not wait for an acknowledgement.
    socket.set_option(tcp::no_delay(true), ec);
    if (!ec && state_->connections < options.maxConnections &&
        countOf(state_->perAddress, address) < options.maxPerAddress) {
      std::make_shared<Connection>(std::move(socket), std::make_shared<AddressSlot>(state_, address))->start();
    }
    serve(acceptor);
  });
}

}  // namespace qova::server
