#include "viewer_session.h"


#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "access_guard.h"
#include "random_bytes.h"
#include "line_writer.h"
#include "viewer_hub.h"

namespace qova::agent {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;

namespace {

// A connection that has not given the right code by then is let go, so idle sockets cannot pile up.
// The page logs in as soon as the socket opens, so only a busy guess budget makes a person wait.
constexpr std::chrono::seconds kAuthDeadline{10};

}  // namespace

ViewerSession::ViewerSession(beast::tcp_stream&& stream, std::string early, std::shared_ptr<ViewerHub> hub,
                             std::uint64_t connection)
    : ws_(std::move(stream), std::move(early)), hub_(std::move(hub)), connection_(connection),
      outbox_(ws_, [this] { finish(); }), deadline_(hub_->io()), delay_(hub_->io()) {
  beast::error_code error;
  const auto peer = beast::get_lowest_layer(ws_).socket().remote_endpoint(error);
  if (!error) place_ = peer.address().to_string();
}

ViewerSession::~ViewerSession() { hub_->releaseConnection(connection_); }

void ViewerSession::start(beast::http::request<beast::http::buffer_body> request) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(beast::http::field::server, "qova-agent-helper"); }));
  // An oversized message ends only its own connection; the limit is checked before it is buffered.
  ws_.read_message_max(kMaxLoginMessageBytes);
  hub_->watchConnection(connection_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->finish();
  });
  deadline_.expires_after(kAuthDeadline);
  deadline_.async_wait([weak = weak_from_this()](const boost::system::error_code& error) {
    auto self = weak.lock();
    if (error || !self || self->authenticated_) return;
    self->finish();
  });
  ws_.async_accept(request, [self = shared_from_this()](beast::error_code error) {
    if (error) return self->finish();
    self->readNext();
  });
}

void ViewerSession::readNext() {
  ws_.async_read(buffer_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (error) return self->finish();
    if (self->fromPage_) {
      const auto data = self->buffer_.cdata();
      // Only sealed messages count once sealed: one in the clear is as foreign as one that fails to open.
      self->handleSealed(self->ws_.got_text() ? std::string_view()
                                              : std::string_view(static_cast<const char*>(data.data()), data.size()));
    } else if (self->ws_.got_text()) {
      const auto data = self->buffer_.cdata();
      self->handleMessage(std::string_view(static_cast<const char*>(data.data()), data.size()));
    } else if (!self->authenticated_) {
      self->finish();
    }
    self->buffer_.consume(self->buffer_.size());
    if (!self->finished_ && !self->closing_) self->readNext();
  });
}

void ViewerSession::handleMessage(std::string_view text) {
  const auto message = nlohmann::json::parse(text, nullptr, false);
  // find() gives end() for anything but an object, a failed parse included.
  const auto type = message.find("type");
  const bool typed = type != message.end() && type->is_string();
  if (!authenticated_) {
    if (typed && *type == "seal") return handleSeal(message);
    // Before the code only a login is expected: anything else is not our page, and is not served.
    const auto code = typed && *type == "auth" ? message.find("code") : message.end();
    if (code == message.end() || !code->is_string()) return finish();
    return handleAuth(code->get<std::string>());
  }
  // Afterwards, malformed or unknown messages are ignored: the viewer may be newer or older than we are.
  if (typed && *type == "input") hub_->input(message);
  if (typed && *type == "ack") hub_->ack(this, message);
  if (typed && *type == "upload" && upload_) upload_->announce(message);
  if (typed && *type == "display") hub_->chooseDisplay(message);
}

// Zero wait spends a share of the guess budget; otherwise the viewer is told when to come back.
bool ViewerSession::admitted() {
  const auto wait = hub_->limiter().admit();
  if (wait == wait.zero()) return true;
  const auto retryMs = std::chrono::ceil<std::chrono::milliseconds>(wait).count();
  sendText(nlohmann::json{{"type", "auth"}, {"ok", false}, {"retryMs", retryMs}}.dump());
  return false;
}

void ViewerSession::handleAuth(const std::string& code) {
  // Our page waits for the answer before it tries again.
  if (answerPending_ || seal_) return finish();
  if (!admitted()) return;
  if (!accessCodeMatches(hub_->config().accessCode, code)) return wrongCode();
  authenticated();
}

void ViewerSession::handleSeal(const nlohmann::json& message) {
  if (answerPending_) return finish();
  if (!seal_) {
    if (!admitted()) return;
    std::string reply;
    seal_ = ViewerSeal::answer(message, hub_->config().accessCode, ViewerSeal::kLocalChannel, ViewerSeal::kLocalBinding,
                               reply);
    return seal_ ? sendText(std::move(reply)) : finish();
  }
  auto confirmed = seal_->confirm(message);
  seal_.reset();
  if (!confirmed) return wrongCode();
  fromPage_ = std::move(confirmed->fromPage);
  outbox_.seal([toPage = std::move(confirmed->toPage)](std::string_view data, bool binary) {
    return toPage->seal(data, binary);
  });
  sendText(std::move(confirmed->confirmation));
  upload_ = std::make_unique<SocketUpload>(
      hub_->config().receivedFolder, hub_->config().maxUploadBytes,
      [weak = weak_from_this()](std::string answer) {
        if (auto self = weak.lock()) self->sendText(std::move(answer));
      },
      [hub = hub_](const std::string& path) { hub->fileReceived(path); });
  authenticated();
}

void ViewerSession::wrongCode() {
  hub_->lines().emit("[agent] wrong access code from a viewer", LineKind::Repeated);
  answerPending_ = true;
  delay_.expires_after(GuessLimiter::kWrongCodeDelay);
  delay_.async_wait([self = shared_from_this()](const boost::system::error_code& error) {
    if (error || self->finished_) return;
    self->answerPending_ = false;
    self->sendText(nlohmann::json{{"type", "auth"}, {"ok", false}}.dump());
  });
}

void ViewerSession::authenticated() {
  hub_->limiter().succeeded();
  authenticated_ = true;
  deadline_.cancel();
  ws_.read_message_max(kMaxMessageBytes + seal::kSealOverhead);
  hub_->connectionAuthenticated(connection_);
  token_ = common::randomHex(16);
  sendText(nlohmann::json{{"type", "auth"}, {"ok", true}, {"token", token_}, {"deviceId", hub_->config().deviceId}}
               .dump());
  hub_->join(shared_from_this());
}

void ViewerSession::handleSealed(std::string_view data) {
  auto opened = data.empty() ? std::nullopt : fromPage_->open(data);
  if (!opened) {
    hub_->lines().emit("[agent] a viewer's sealed message did not open (altered, dropped, replayed or reordered on the "
                       "way): session ended",
                       LineKind::Repeated);
    closing_ = true;
    return end("tampered");
  }
  if (!opened->binary) return handleMessage(opened->payload);
  if (upload_) upload_->bytes(opened->payload);
}

void ViewerSession::sendText(std::string text) {
  if (finished_) return;
  // A viewer this far behind is not reading at all.
  if (!outbox_.push(std::move(text), false, shared_from_this())) finish();
}

void ViewerSession::sendFrame(std::shared_ptr<const std::string> frame) {
  if (finished_ || !authenticated_) return;
  outbox_.frame(std::move(frame), shared_from_this());
}

void ViewerSession::sendSeries(std::shared_ptr<const std::vector<std::string>> messages) {
  if (!finished_ && authenticated_) outbox_.series(std::move(messages), shared_from_this());
}

void ViewerSession::end(const std::string& reason) {
  if (finished_) return;
  const auto text = nlohmann::json{{"type", "ended"}, {"reason", reason}}.dump();
  // Closed once the notice is written; a viewer that does not read is closed at once.
  if (!outbox_.push(text, false, shared_from_this(), [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->finish();
      })) {
    finish();
  }
}

void ViewerSession::finish() {
  if (finished_) return;
  finished_ = true;
  deadline_.cancel();
  delay_.cancel();
  outbox_.close();
  hub_->leave(this);
  // Closing the socket ends the pending read and write; their handlers release this session.
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).close();
}

}  // namespace qova::agent
