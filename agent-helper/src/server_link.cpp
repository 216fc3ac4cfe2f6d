#include "server_link.h"

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <charconv>
#include <list>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <nlohmann/json.hpp>

#include "access_guard.h"
#include "agent/agent_contract.h"
#include "agent_identity.h"
#include "file_names.h"
#include "hex.h"
#include "line_writer.h"
#include "message_outbox.h"
#include "random_bytes.h"
#include "socket_upload.h"
#include "viewer_hub.h"
#include "viewer_seal.h"

namespace qova::agent {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;
namespace ssl = net::ssl;
using common::deviceProofText;
using common::MessageOutbox;
using common::randomHex;
using common::toHex;
using tcp = net::ip::tcp;
using SecureSocket = websocket::stream<beast::ssl_stream<beast::tcp_stream>>;
using Json = nlohmann::json;

namespace {

constexpr std::chrono::milliseconds kRetryBase{1000};
constexpr std::chrono::milliseconds kRetryCap{60000};
constexpr std::chrono::seconds kDialTimeout{10};
constexpr unsigned kReplacedBackOff = 6;  // 32 to 64 s
// Heartbeats: a quiet connection is pinged after half of this and given up after all of it.
constexpr std::chrono::seconds kIdleTimeout{30};
constexpr std::size_t kMaxControlMessageBytes = 4096;
constexpr std::size_t kMaxSessionMessageBytes = 512 * 1024;
// Sessions through the server at once: more than a helpdesk puts on one machine, few descriptors.
constexpr std::size_t kMaxRemoteSessions = 8;
constexpr std::string_view kIdTakenReason = "device ID taken";
// New device IDs one run may take: a server that refuses them all is not helped by more.
constexpr unsigned kMaxIdChanges = 5;
// When every place holds a session still being opened, a newcomer is told to come back this much later.
constexpr std::chrono::milliseconds kSessionPlaceRetry{1000};

std::string text(const beast::flat_buffer& buffer) { return beast::buffers_to_string(buffer.data()); }

std::string normalizedFingerprint(std::string_view pin) {
  std::string hex;
  for (const char c : pin) {
    if (c != ':') hex += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return hex;
}

std::string certificateFingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned size = 0;
  if (!certificate || X509_digest(certificate, EVP_sha256(), digest, &size) != 1) return {};
  return toHex(std::string_view(reinterpret_cast<const char*>(digest), size));
}

std::shared_ptr<ssl::context> clientContext(const ServerAddress& server, const std::string& pin) {
  auto context = std::make_shared<ssl::context>(ssl::context::tls_client);
  SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
  context->set_verify_mode(ssl::verify_peer);
  if (!pin.empty()) {
    // A pinned certificate stands for itself: the chain is not asked about, the leaf must match.
    context->set_verify_callback([pin = normalizedFingerprint(pin)](bool, ssl::verify_context& verify) {
      auto* store = verify.native_handle();
      if (X509_STORE_CTX_get_error_depth(store) > 0) return true;
      return certificateFingerprint(X509_STORE_CTX_get_current_cert(store)) == pin;
    });
  } else {
    context->set_default_verify_paths();
    context->set_verify_callback(ssl::host_name_verification(server.host));
  }
  return context;
}

// One outbound WebSocket over TLS to `path`, every step under a deadline. `done` gets the socket, or
// nullptr and what failed.
void dial(net::io_context& io, std::shared_ptr<ssl::context> tls, const ServerAddress& server, std::string path,
          std::function<void(std::shared_ptr<SecureSocket>, std::string)> done) {
  struct Dial {
    tcp::resolver resolver;
    std::shared_ptr<ssl::context> tls;
    std::shared_ptr<SecureSocket> ws;
    ServerAddress server;
    std::string path;
    std::function<void(std::shared_ptr<SecureSocket>, std::string)> done;
  };
  auto d = std::make_shared<Dial>(Dial{tcp::resolver(io), tls, std::make_shared<SecureSocket>(io, *tls), server,
                                       std::move(path), std::move(done)});
  auto fail = [d](const char* stage, beast::error_code error) { d->done(nullptr, std::string(stage) + ": " + error.message()); };
  d->resolver.async_resolve(server.host, server.port, [d, fail](beast::error_code error, tcp::resolver::results_type found) {
    if (error) return fail("resolve", error);
    auto& tcpStream = beast::get_lowest_layer(*d->ws);
    tcpStream.expires_after(kDialTimeout);
    tcpStream.async_connect(found, [d, fail](beast::error_code error, const tcp::endpoint&) {
      if (error) return fail("connect", error);
      // Frames and input must leave at once, not wait for an acknowledgement.
      beast::get_lowest_layer(*d->ws).socket().set_option(tcp::no_delay(true), error);
      SSL_set_tlsext_host_name(d->ws->next_layer().native_handle(), d->server.host.c_str());
      d->ws->next_layer().async_handshake(ssl::stream_base::client, [d, fail](beast::error_code error) {
        if (error) return fail("TLS", error);
        beast::get_lowest_layer(*d->ws).expires_never();
        websocket::stream_base::timeout timeout{kDialTimeout, kIdleTimeout, true};
        d->ws->set_option(timeout);
        // A frame leaves as one WebSocket frame, not as hundreds of 4 KiB ones each in its own TLS record.
        d->ws->auto_fragment(false);
        d->ws->async_handshake(d->server.host + ":" + d->server.port, d->path, [d, fail](beast::error_code error) {
          if (error) return fail("WebSocket", error);
          d->done(d->ws, {});
        });
      });
    });
  });
}

// One viewer admitted through the server: its own outbound connection, joined by the server to that
// viewer. It watches and controls like a viewer of the local page, with the same checks and caps;
// uploads come as messages instead of requests.
class RemoteViewer : public ViewerPeer, public std::enable_shared_from_this<RemoteViewer> {
 public:
  RemoteViewer(std::shared_ptr<ViewerHub> hub, const ServerLinkConfig& config, std::string ticket,
               std::optional<ViewerSeal::Confirmed> sealed)
      : hub_(std::move(hub)),
        config_(config),
        ticket_(std::move(ticket)),
        token_(randomHex(16)),
        sealed_(std::move(sealed)) {}

  void start(std::shared_ptr<SecureSocket> ws) {
    ws_ = std::move(ws);
    ws_->read_message_max(kMaxSessionMessageBytes + seal::kSealOverhead);
    outbox_ = std::make_unique<MessageOutbox<SecureSocket>>(*ws_, [this] { finish(); });
    auto self = shared_from_this();
    // The join is for the server; everything after it, for the page alone.
    const auto join = Json{{"type", "join"}, {"deviceId", config_.deviceId}, {"ticket", ticket_}}.dump();
    outbox_->push(join, false, self, [this] {
      if (!sealed_) return;
      outbox_->seal([toPage = sealed_->toPage](std::string_view data, bool binary) { return toPage->seal(data, binary); });
    });
    if (sealed_) outbox_->push(sealed_->confirmation, false, self);
    outbox_->push(Json{{"type", "auth"}, {"ok", true}, {"token", token_}, {"deviceId", config_.deviceId}}.dump(), false,
                  self);
    hub_->join(self);
    readNext();
  }

  void sendText(std::string message) override {
    if (!finished_ && !outbox_->push(std::move(message), false, shared_from_this())) finish();
  }
  void sendFrame(std::shared_ptr<const std::string> frame) override {
    if (!finished_) outbox_->frame(std::move(frame), shared_from_this());
  }
  void sendSeries(std::shared_ptr<const std::vector<std::string>> messages) override {
    if (!finished_) outbox_->series(std::move(messages), shared_from_this());
  }
  const std::string& uploadToken() const override { return token_; }
  std::string place() const override { return "server " + config_.url; }
  void end(const std::string& reason) override {
    if (finished_) return;
    const auto text = Json{{"type", "ended"}, {"reason", reason}}.dump();
    if (!outbox_->push(text, false, shared_from_this(), [weak = weak_from_this()] {
          if (auto self = weak.lock()) self->finish();
        })) {
      finish();
    }
  }

  bool started() const { return ws_ != nullptr; }
  void close() {
    if (started()) finish();
  }

 private:
  void readNext() {
    ws_->async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
      if (error) return self->finish();
      auto data = text(self->buffer_);
      self->buffer_.consume(self->buffer_.size());
      bool binary = !self->ws_->got_text();
      if (self->sealed_) {
        // Only sealed messages count: one in the clear is as foreign as one that fails to open.
        auto opened = binary ? self->sealed_->fromPage->open(data) : std::nullopt;
        if (!opened) return self->tampered();
        data = std::move(opened->payload);
        binary = opened->binary;
      }
      if (binary) {
        self->upload_.bytes(data);
      } else {
        self->handleText(data);
      }
      if (!self->finished_) self->readNext();
    });
  }

  void handleText(std::string_view data) {
    const auto message = Json::parse(data, nullptr, false);
    const auto type = message.find("type");
    if (type == message.end() || !type->is_string()) return;
    if (*type == "input") return hub_->input(message);
    if (*type == "ack") return hub_->ack(this, message);
    if (*type == "display") return hub_->chooseDisplay(message);
    if (*type == "upload") upload_.announce(message);
  }

  void tampered() {
    hub_->lines().emit("[agent] a viewer's sealed message did not open (altered, dropped, replayed or reordered on the "
                       "way through the server): session ended",
                       LineKind::Repeated);
    end("tampered");
  }

  void finish() {
    if (finished_) return;
    finished_ = true;
    outbox_->close();
    hub_->leave(this);
    beast::error_code ignored;
    beast::get_lowest_layer(*ws_).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(*ws_).close();
  }

  std::shared_ptr<ViewerHub> hub_;
  const ServerLinkConfig config_;
  std::string ticket_;
  std::string token_;
  std::optional<ViewerSeal::Confirmed> sealed_;
  std::shared_ptr<SecureSocket> ws_;
  std::unique_ptr<MessageOutbox<SecureSocket>> outbox_;
  beast::flat_buffer buffer_;
  SocketUpload upload_{config_.receivedFolder, config_.maxUploadBytes,
                       [this](std::string answer) { sendText(std::move(answer)); },
                       [this](const std::string& path) { hub_->fileReceived(path); }};
  bool finished_ = false;
};

}  // namespace

std::optional<ServerAddress> parseServerUrl(std::string_view url) {
  constexpr std::string_view kScheme = "wss://";
  if (!url.starts_with(kScheme)) return std::nullopt;
  url.remove_prefix(kScheme.size());
  if (url.ends_with('/')) url.remove_suffix(1);
  ServerAddress address;
  std::string_view host = url;
  if (const auto colon = url.rfind(':'); colon != std::string_view::npos && url.find(']', colon) == std::string_view::npos) {
    const auto port = url.substr(colon + 1);
    unsigned value = 0;
    const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
    if (port.empty() || error != std::errc{} || end != port.data() + port.size() || value == 0 || value > 65535) {
      return std::nullopt;
    }
    address.port = std::string(port);
    host = url.substr(0, colon);
  }
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (host.empty() || host.find_first_of("/?#@ ") != std::string_view::npos) return std::nullopt;
  address.host = std::string(host);
  return address;
}

std::optional<ServerMessage> parseServerMessage(std::string_view data) {
  const auto message = Json::parse(data, nullptr, false);
  auto field = [&message](const char* name) -> std::optional<std::string> {
    const auto value = message.find(name);
    if (value == message.end() || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
  };
  const auto type = field("type");
  if (!type) return std::nullopt;
  ServerMessage out;
  if (*type == "challenge") {
    auto nonce = field("nonce");
    if (!nonce || nonce->size() < 32 || nonce->size() > 128) return std::nullopt;
    out.kind = ServerMessage::Kind::Challenge;
    out.nonce = std::move(*nonce);
    return out;
  }
  if (*type == "welcome") {
    out.kind = ServerMessage::Kind::Welcome;
    return out;
  }
  if (*type == "refused" || *type == "replaced") {
    out.kind = *type == "refused" ? ServerMessage::Kind::Refused : ServerMessage::Kind::Replaced;
    out.reason = field("reason").value_or("");  // compared, never shown
    return out;
  }
  auto ticket = field("ticket");
  if (!ticket || ticket->empty() || ticket->size() > 64) return std::nullopt;
  out.ticket = std::move(*ticket);
  if (*type == "login-confirm") {
    auto confirm = field("confirm");
    if (!confirm || confirm->size() > 64) return std::nullopt;
    out.kind = ServerMessage::Kind::LoginConfirm;
    out.confirm = std::move(*confirm);
    return out;
  }
  if (*type == "login") {
    const auto seal = message.find("seal");
    if (seal != message.end()) {
      // Checked in full by the exchange; only the sizes here.
      const auto part = [&seal](const char* name) {
        const auto value = seal->is_object() ? seal->find(name) : seal->end();
        return value != seal->end() && value->is_string() && value->size() <= 128 ? value->get<std::string>() : "";
      };
      out.sid = part("sid");
      out.share = part("share");
      if (out.sid.empty() || out.share.empty()) return std::nullopt;
      const auto aead = seal->is_object() ? seal->find("aead") : seal->end();
      if (aead != seal->end() && aead->is_array() && aead->size() <= 4) {
        for (const auto& name : *aead) {
          if (name.is_string() && name.size() <= 16) out.aeads.push_back(name.get<std::string>());
        }
      }
    } else {
      auto code = field("code");
      if (!code || code->size() > 64) return std::nullopt;
      out.code = std::move(*code);
    }
    out.kind = ServerMessage::Kind::Login;
    // Shown in our status lines, so nothing but what an address is made of.
    out.address = field("address").value_or("");
    std::erase_if(out.address, [](char c) { return !std::isxdigit(static_cast<unsigned char>(c)) && c != '.' && c != ':'; });
    out.address = out.address.substr(0, 64);
    return out;
  }
  return std::nullopt;
}

std::chrono::milliseconds retryDelay(unsigned failures, double unitRandom) {
  auto delay = kRetryCap;
  if (failures < 16) delay = std::min(kRetryCap, kRetryBase * (1u << failures));
  const double share = 0.5 + 0.5 * std::clamp(unitRandom, 0.0, 1.0);
  return std::chrono::milliseconds(static_cast<std::int64_t>(static_cast<double>(delay.count()) * share));
}

struct ServerLink::Impl : std::enable_shared_from_this<Impl> {
  Impl(net::io_context& io, std::shared_ptr<ViewerHub> hub, ServerLinkConfig config, DeviceKey key)
      : io(io), hub(std::move(hub)), config(std::move(config)), key(std::move(key)), retry(io) {}

  void connect() {
    lines().emit("[agent] connecting to the server " + url, LineKind::Repeated);
    state = State::Dialing;
    dial(io, tls, address, "/agent", [self = shared_from_this()](std::shared_ptr<SecureSocket> ws, std::string error) {
      if (!ws) return self->failed(error);
      ws->read_message_max(kMaxControlMessageBytes);
      self->control = std::make_shared<Control>(std::move(ws));
      self->control->failed = [alive = std::weak_ptr<Impl>(self), which = self->control.get()] {
        auto self = alive.lock();
        if (self && self->control.get() == which) self->drop("the server does not read");
      };
      self->state = State::Proving;
      self->send(Json{{"type", "hello"}, {"deviceId", self->config.deviceId}, {"publicKey", self->key.publicHex()}});
      self->readNext();
    });
  }

  void send(const Json& message) {
    if (control && !control->outbox.push(message.dump(), false, control)) drop("the server does not read");
  }

  void readNext() {
    auto& buffer = control->buffer;
    control->ws->async_read(buffer, [self = shared_from_this(), control = control](beast::error_code error, std::size_t) {
      if (control != self->control) return;  // a connection already given up
      if (error) return self->drop(error.message());
      const auto data = text(control->buffer);
      control->buffer.consume(control->buffer.size());
      const auto message = parseServerMessage(data);
      if (!message) return self->drop("unexpected message from the server");
      self->handle(*message);
      if (self->control == control) self->readNext();
    });
  }

  void handle(const ServerMessage& message) {
    using Kind = ServerMessage::Kind;
    // The server's own words are not repeated: the application reads status words in our lines.
    if (message.kind == Kind::Refused && message.reason == kIdTakenReason && idChanges < kMaxIdChanges) {
      return takeNewDeviceId();
    }
    if (message.kind == Kind::Refused) return drop("refused by the server");
    if (message.kind == Kind::Replaced) {
      // Another agent proved the same key after us: two copies would take turns for ever, so this
      // one waits long before it tries again.
      lines().emit("[agent] another client replaced this device session");
      failures = std::max(failures, kReplacedBackOff);
      return drop({});
    }
    if (state == State::Proving && message.kind == Kind::Challenge) {
      state = State::Welcoming;
      // The proof names the server this agent reached, so no other server can pass it on.
      const auto seen = certificateFingerprint(SSL_get0_peer_certificate(control->ws->next_layer().native_handle()));
      return send({{"type", "proof"},
                   {"host", address.host},
                   {"fingerprint", seen},
                   {"signature", key.signHex(deviceProofText(config.deviceId, message.nonce, address.host, seen))}});
    }
    if (state == State::Welcoming && message.kind == Kind::Welcome) {
      state = State::Registered;
      failures = 0;
      if (!lostId.empty()) {
        lines().emit(std::string(kDeviceIdChangedPrefix) + config.deviceId + ": the server knew " + lostId +
                     " under another key (this machine's agent state was lost)");
        lostId.clear();
      }
      lines().emit("[agent] connected: server " + url + " knows this device as " + config.deviceId);
      return;
    }
    if (state == State::Registered && message.kind == Kind::Login) {
      return message.share.empty() ? login(message) : openSeal(message);
    }
    if (state == State::Registered && message.kind == Kind::LoginConfirm) return confirmSeal(message);
    drop("message out of order from the server");
  }

  // The server forwards a viewer's attempt: judged here like one on the local page, with a budget of
  // the same rules but its own, so a flood through the server never locks out the person at the machine.
  void login(const ServerMessage& message) {
    const auto wait = guesses.admit();
    if (wait > wait.zero()) return refuseUnjudged(message, wait);
    judged(message, accessCodeMatches(hub->config().accessCode, message.code), std::nullopt);
  }

  // A page that seals sends a share of the exchange on the code instead of the code; the guess is
  // spent now and judged when its proof comes (or never, when it does not). The exchange is bound to
  // this device and the attempt's ticket.
  void openSeal(const ServerMessage& message) {
    const auto wait = guesses.admit();
    if (wait > wait.zero()) return refuseUnjudged(message, wait);
    std::string reply;
    auto seal = ViewerSeal::answer(Json{{"version", 1}, {"sid", message.sid}, {"share", message.share}, {"aead", message.aeads}},
                                   hub->config().accessCode, config.deviceId, message.ticket, reply);
    if (!seal) return judged(message, false, std::nullopt);
    pendingSeals.push_back({message.ticket, message.address, std::move(*seal)});
    // Attempts whose proof never came are forgotten, oldest first; each spent its guess already.
    if (pendingSeals.size() > kMaxPendingSeals) pendingSeals.pop_front();
    auto answer = Json::parse(reply);
    answer["type"] = "login-seal";
    answer["ticket"] = message.ticket;
    send(answer);
  }

  void confirmSeal(const ServerMessage& message) {
    const auto found = std::find_if(pendingSeals.begin(), pendingSeals.end(),
                                    [&message](const PendingSeal& p) { return p.ticket == message.ticket; });
    if (found == pendingSeals.end()) return;
    auto confirmed = found->seal.confirm(Json{{"confirm", message.confirm}});
    ServerMessage attempt = message;
    attempt.address = found->address;
    pendingSeals.erase(found);
    judged(attempt, confirmed.has_value(), std::move(confirmed));
  }

  void refuseUnjudged(const ServerMessage& message, GuessLimiter::Clock::duration wait) {
    report(message, "not judged, too many tries");
    send(Json{{"type", "login-result"}, {"ticket", message.ticket}, {"ok", false},
              {"retryMs", std::chrono::ceil<std::chrono::milliseconds>(wait).count()}});
  }

  void judged(const ServerMessage& message, bool right, std::optional<ViewerSeal::Confirmed> sealed) {
    Json answer{{"type", "login-result"}, {"ticket", message.ticket}, {"ok", false}};
    if (!right) {
      report(message, "wrong access code");
    } else {
      guesses.succeeded();
      if (makeRoomForSession()) {
        answer["ok"] = true;
        report(message, "accepted");
        openSession(message.ticket, std::move(sealed));
      } else {
        answer["retryMs"] = kSessionPlaceRetry.count();
        report(message, "not let in yet, every session place is still being opened");
      }
    }
    send(answer);
  }

  void report(const ServerMessage& message, const std::string& verdict) {
    // The address stays out of the folded text: logins from many addresses make one line, not one each.
    lines().emit("[agent] login through the server: " + verdict, LineKind::Repeated,
                 message.address.empty() ? "" : "from " + message.address);
  }

  // The server knows our ID under another key: this machine's agent state was lost (a reinstall, a
  // new home) or came from a copy of the machine, and no key of ours can prove that ID ever again. A
  // new ID, kept beside the key, takes its place for good; drawn at random rather than derived, so
  // nobody who knows the old ID can claim the next ones first. Other refusals (a full registry, say)
  // are met only by waiting.
  void takeNewDeviceId() {
    auto id = randomDeviceId(common::randomWord);
    if (!writeStateValue(config.stateFile, kDeviceIdStateKey, id)) {
      return drop("refused by the server, and a new device ID cannot be kept in " + config.stateFile);
    }
    ++idChanges;
    if (lostId.empty()) lostId = config.deviceId;
    config.deviceId = id;
    hub->deviceIdChanged(std::move(id));
    drop("refused by the server: it knows this device ID under another key");
  }

  // A session the viewer goes away from ends by itself and frees its place. Until then it holds a
  // descriptor like a local viewer, so the places are capped too, and the newcomer with the right code
  // gets the oldest open one: whoever has the code could take the machine anyway, and a helper must
  // not find it held by sessions nobody watches. A place being opened cannot be given up (its dial
  // runs to its end), so only when every place is being opened is the newcomer told to come back.
  bool makeRoomForSession() {
    std::erase_if(sessions, [](const auto& session) { return session.expired(); });
    if (sessions.size() < kMaxRemoteSessions) return true;
    for (auto oldest = sessions.begin(); oldest != sessions.end(); ++oldest) {
      const auto viewer = oldest->lock();
      if (!viewer || !viewer->started()) continue;
      sessions.erase(oldest);
      viewer->close();
      lines().emit("[agent] the oldest session through the server made way for a new one", LineKind::Repeated);
      return true;
    }
    return false;
  }

  void openSession(const std::string& ticket, std::optional<ViewerSeal::Confirmed> sealed) {
    // The dial holds the session until it runs; its place is free again when neither holds it.
    auto viewer = std::make_shared<RemoteViewer>(hub, config, ticket, std::move(sealed));
    sessions.push_back(viewer);
    auto opened = [viewer, alive = weak_from_this()](std::shared_ptr<SecureSocket> ws, std::string error) {
      auto self = alive.lock();
      if (!self) return;
      if (ws) return viewer->start(std::move(ws));
      self->lines().emit("[agent] could not open a viewer session through the server: " + error);
    };
    dial(io, tls, address, "/session", std::move(opened));
  }

  void failed(const std::string& why) {
    // Servers that work as one: the next one in the list is tried, so a server that went away is
    // left behind at the first retry, which comes within a second.
    if (servers.size() > 1) use((at + 1) % servers.size());
    const auto delay = retryDelay(failures++, common::randomFraction());
    // Without a reason the line before said what happened.
    if (!why.empty()) {
      lines().emit("[agent] server connection failed (" + why + "); retrying in " + std::to_string(delay.count()) + " ms",
                   LineKind::Repeated);
    }
    state = State::Waiting;
    retry.expires_after(delay);
    retry.async_wait([self = shared_from_this()](beast::error_code error) {
      if (!error) self->connect();
    });
  }

  void drop(const std::string& why) {
    if (!control) return;
    control->outbox.close();
    beast::error_code ignored;
    beast::get_lowest_layer(*control->ws).socket().shutdown(tcp::socket::shutdown_both, ignored);
    beast::get_lowest_layer(*control->ws).close();
    // Pending handlers hold the connection until they have run.
    control.reset();
    failed(why);
  }

  LineWriter& lines() { return hub->lines(); }

  void use(std::size_t which) {
    at = which;
    url = servers[at].url;
    address = servers[at].address;
    tls = servers[at].tls;
  }

  enum class State { Waiting, Dialing, Proving, Welcoming, Registered };
  net::io_context& io;
  std::shared_ptr<ViewerHub> hub;
  ServerLinkConfig config;
  DeviceKey key;
  struct Server {
    std::string url;
    ServerAddress address;
    std::shared_ptr<ssl::context> tls;
  };
  std::vector<Server> servers;
  std::size_t at = 0;
  // The one dialled now.
  std::string url;
  ServerAddress address;
  std::shared_ptr<ssl::context> tls;
  struct Control {
    explicit Control(std::shared_ptr<SecureSocket> socket)
        : ws(std::move(socket)), outbox(*ws, [this] { if (failed) failed(); }) {}
    std::shared_ptr<SecureSocket> ws;
    MessageOutbox<SecureSocket> outbox;
    std::function<void()> failed;
    // Its own: what a connection given up left half read must not prefix the next one's messages.
    beast::flat_buffer buffer;
  };
  std::shared_ptr<Control> control;
  net::steady_timer retry;
  GuessLimiter guesses;
  std::list<std::weak_ptr<RemoteViewer>> sessions;  // oldest first
  struct PendingSeal {
    std::string ticket;
    std::string address;
    ViewerSeal seal;
  };
  static constexpr std::size_t kMaxPendingSeals = 16;
  std::list<PendingSeal> pendingSeals;  // oldest first
  State state = State::Waiting;
  unsigned failures = 0;
  unsigned idChanges = 0;
  std::string lostId;  // the ID the server knew under another key, until the new one is welcomed
};

ServerLink::ServerLink(net::io_context& io, std::shared_ptr<ViewerHub> hub, ServerLinkConfig config, DeviceKey key)
    : impl_(std::make_shared<Impl>(io, std::move(hub), std::move(config), std::move(key))) {}

ServerLink::~ServerLink() = default;

void ServerLink::start() {
  // One server, or several that work as one: "wss://a,wss://b".
  std::string_view list = impl_->config.url;
  while (!list.empty()) {
    const auto comma = list.find(',');
    auto url = list.substr(0, comma);
    list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
    while (url.starts_with(' ')) url.remove_prefix(1);
    while (url.ends_with(' ')) url.remove_suffix(1);
    auto address = parseServerUrl(url);
    if (!address) {
      impl_->lines().emit("[agent] server address failed: not wss://host[:port]: " + impl_->config.url);
      return;
    }
    impl_->servers.push_back({std::string(url), *address, clientContext(*address, impl_->config.fingerprint)});
  }
  if (impl_->servers.empty()) return;
  impl_->use(0);
  impl_->connect();
}

}  // namespace qova::agent
