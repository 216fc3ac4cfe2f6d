#include "viewer_session.h"

#include <random>

#include <boost/asio/post.hpp>
#include <boost/beast/websocket.hpp>
#include <nlohmann/json.hpp>

#include "access_guard.h"
#include "line_writer.h"
#include "viewer_hub.h"

namespace qova::agent {

namespace beast = boost::beast;
namespace websocket = beast::websocket;
namespace net = boost::asio;

namespace {

// A connection that has not given a code by then is let go, so idle sockets cannot pile up.
constexpr std::chrono::seconds kAuthDeadline{60};

std::string newToken() {
  std::random_device device;
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string token;
  for (int i = 0; i < 32; ++i) token += kDigits[device() & 0xF];
  return token;
}

}  // namespace

ViewerSession::ViewerSession(net::ip::tcp::socket&& socket, std::shared_ptr<ViewerHub> hub, std::string client)
    : ws_(std::move(socket)), hub_(std::move(hub)), client_(std::move(client)), deadline_(hub_->io()), delay_(hub_->io()) {}

ViewerSession::~ViewerSession() { hub_->releaseConnection(); }

void ViewerSession::start(beast::http::request<beast::http::buffer_body> request) {
  beast::get_lowest_layer(ws_).expires_never();
  ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
  ws_.set_option(websocket::stream_base::decorator(
      [](websocket::response_type& response) { response.set(beast::http::field::server, "qova-agent-helper"); }));
  // A huge message ends only its own connection; the limit is checked before it is buffered.
  ws_.read_message_max(kMaxMessageBytes);
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
    if (self->ws_.got_text()) {
      const auto data = self->buffer_.cdata();
      self->handleMessage(std::string_view(static_cast<const char*>(data.data()), data.size()));
    }
    self->buffer_.consume(self->buffer_.size());
    if (!self->finished_) self->readNext();
  });
}

void ViewerSession::handleMessage(std::string_view text) {
  // Malformed or unknown messages are ignored: the viewer may be newer or older than we are.
  const auto message = nlohmann::json::parse(text, nullptr, false);
  if (!message.is_object()) return;
  const auto type = message.find("type");
  if (type == message.end() || !type->is_string()) return;
  if (*type == "auth") {
    const auto code = message.find("code");
    if (code != message.end() && code->is_string()) handleAuth(code->get<std::string>());
    return;
  }
  if (!authenticated_) return;
  if (*type == "input") hub_->input(message);
}

void ViewerSession::handleAuth(std::string code) {
  if (authenticated_ || authPending_) return;
  authPending_ = true;
  const auto now = AttemptLimiter::Clock::now();
  const auto when = hub_->limiter().admit(client_, now);
  if (when <= now) return judge(code);
  delay_.expires_at(when);
  delay_.async_wait([self = shared_from_this(), code = std::move(code)](const boost::system::error_code& error) {
    if (error || self->finished_) return;
    self->judge(code);
  });
}

void ViewerSession::judge(const std::string& code) {
  authPending_ = false;
  const bool ok = accessCodeMatches(hub_->config().accessCode, code);
  hub_->limiter().record(client_, ok, AttemptLimiter::Clock::now());
  if (!ok) {
    hub_->lines().emit("[agent] wrong access code from a viewer");
    sendText(nlohmann::json{{"type", "auth"}, {"ok", false}}.dump());
    return;
  }
  authenticated_ = true;
  deadline_.cancel();
  token_ = newToken();
  sendText(nlohmann::json{{"type", "auth"}, {"ok", true}, {"token", token_}, {"deviceId", hub_->config().deviceId}}
               .dump());
  hub_->join(shared_from_this());
}

void ViewerSession::sendText(std::string text) {
  if (finished_) return;
  if (texts_.size() >= kMaxQueuedTexts) {
    // A viewer this far behind is not reading at all.
    return finish();
  }
  texts_.push_back(std::move(text));
  if (!writing_) writeNext();
}

void ViewerSession::sendFrame(std::shared_ptr<const std::string> frame) {
  if (finished_ || !authenticated_) return;
  pendingFrame_ = std::move(frame);
  if (!writing_) writeNext();
}

void ViewerSession::writeNext() {
  if (finished_) return;
  auto done = [self = shared_from_this()](beast::error_code error, std::size_t) {
    self->writing_ = false;
    self->writingFrame_.reset();
    if (error) return self->finish();
    self->writeNext();
  };
  if (!texts_.empty()) {
    writing_ = true;
    writingText_ = std::move(texts_.front());
    texts_.pop_front();
    ws_.text(true);
    ws_.async_write(net::buffer(writingText_), std::move(done));
  } else if (pendingFrame_) {
    writing_ = true;
    writingFrame_ = std::move(pendingFrame_);
    ws_.binary(true);
    ws_.async_write(net::buffer(*writingFrame_), std::move(done));
  }
}

void ViewerSession::finish() {
  if (finished_) return;
  finished_ = true;
  deadline_.cancel();
  delay_.cancel();
  texts_.clear();
  pendingFrame_.reset();
  hub_->leave(this);
  // Closing the socket ends the pending read and write; their handlers release this session.
  beast::error_code ignored;
  beast::get_lowest_layer(ws_).socket().shutdown(net::ip::tcp::socket::shutdown_both, ignored);
  beast::get_lowest_layer(ws_).close();
}

}  // namespace qova::agent
