#include "http_session.h"

#include <limits>

#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <nlohmann/json.hpp>

#include "file_names.h"
#include "line_writer.h"
#include "upload_sink.h"
#include "security_headers.h"
#include "viewer_assets.h"
#include "viewer_hub.h"
#include "viewer_session.h"

namespace qova::agent {

namespace beast = boost::beast;
namespace http = beast::http;
namespace net = boost::asio;

namespace {

// Our page's requests come whole at once; a slow or silent client only holds a place.
constexpr std::chrono::seconds kHeaderTimeout{5};
// Between two pieces of an upload; a stalled upload is abandoned after this.
constexpr std::chrono::seconds kBodyTimeout{60};
constexpr std::size_t kHeaderLimit = 16 * 1024;
constexpr std::size_t kChunkBytes = 256 * 1024;

std::string_view hostName(std::string_view host) {
  if (!host.empty() && host.front() == '[') {
    const auto close = host.find(']');
    return close == std::string_view::npos ? host : host.substr(0, close + 1);
  }
  return host.substr(0, host.rfind(':'));
}

std::string_view pathOf(std::string_view target) { return target.substr(0, target.find('?')); }

}  // namespace

HttpSession::HttpSession(net::ip::tcp::socket&& socket, std::shared_ptr<ViewerHub> hub, std::uint64_t connection)
    : stream_(std::move(socket)), hub_(std::move(hub)), connection_(connection) {}

HttpSession::~HttpSession() {
  if (!upgraded_) hub_->releaseConnection(connection_);
}

void HttpSession::start() {
  hub_->watchConnection(connection_, [weak = weak_from_this()] {
    if (auto self = weak.lock()) self->close();
  });
  readHeader();
}

void HttpSession::readHeader() {
  parser_.emplace();
  parser_->header_limit(kHeaderLimit);
  // Only uploads carry a body; its size is judged once the request is known (startUpload).
  // (A numeric limit: boost::none trips a comparison bug in Boost 1.74's parser.)
  parser_->body_limit(std::numeric_limits<std::uint64_t>::max());
  stream_.expires_after(kHeaderTimeout);
  http::async_read_header(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (error) return self->close();
    self->handleRequest();
  });
}

bool HttpSession::requestFromOwnPage() const {
  const auto& request = parser_->get();
  const auto host = std::string_view(request[http::field::host]);
  if (host.empty()) return false;
  // Served on loopback, the page must be addressed as loopback: this defeats DNS rebinding, where a
  // foreign site's name is made to point at 127.0.0.1.
  if (isLoopbackHost(hub_->config().address.host) && !isLoopbackHost(hostName(host))) return false;
  // Browsers name the page that opens a WebSocket or posts a file; only our own page may.
  const auto origin = std::string_view(request[http::field::origin]);
  return origin.empty() || origin == "http://" + std::string(host);
}

void HttpSession::handleRequest() {
  const auto& request = parser_->get();
  const auto path = pathOf(request.target());
  const bool keepAlive = request.keep_alive();

  if (path == "/ws") {
    if (!beast::websocket::is_upgrade(request) || !requestFromOwnPage()) {
      return respond(http::status::forbidden, "forbidden\n", "text/plain; charset=utf-8", false);
    }
    if (!parser_->is_done()) {
      return respond(http::status::bad_request, "unexpected body\n", "text/plain; charset=utf-8", false);
    }
    upgraded_ = true;
    stream_.expires_never();
    // A client may send its first messages without waiting for our answer; they are in our buffer.
    auto early = beast::buffers_to_string(buffer_.data());
    auto session = std::make_shared<ViewerSession>(std::move(stream_), std::move(early), hub_, connection_);
    session->start(parser_->release());
    return;
  }
  if (path == "/upload") {
    if (request.method() != http::verb::post) {
      return respond(http::status::method_not_allowed, "POST only\n", "text/plain; charset=utf-8", false);
    }
    return startUpload();
  }
  if (request.method() != http::verb::get && request.method() != http::verb::head) {
    return respond(http::status::method_not_allowed, "GET only\n", "text/plain; charset=utf-8", false);
  }
  if (!parser_->is_done()) {
    // A GET with a body is not something our page sends.
    return respond(http::status::bad_request, "unexpected body\n", "text/plain; charset=utf-8", false);
  }
  const auto* asset = common::findViewerAsset(path == "/" ? "/index.html" : path);
  if (!asset) return respond(http::status::not_found, "not found\n", "text/plain; charset=utf-8", keepAlive);
  respond(http::status::ok, std::string(asset->body), std::string(asset->contentType).c_str(), keepAlive);
}

void HttpSession::startUpload() {
  const auto& request = parser_->get();
  if (!requestFromOwnPage()) {
    return respondJson(http::status::forbidden, R"({"ok":false,"error":"forbidden"})", false);
  }
  // The token is handed out over the WebSocket after the access code was accepted, and dies with it.
  const auto token = std::string_view(request["X-Qova-Token"]);
  if (token.empty() || !hub_->viewerForToken(token)) {
    return respondJson(http::status::unauthorized, R"({"ok":false,"error":"unauthorized"})", false);
  }
  // An upload with a token is a viewer's: it keeps its place however long it takes.
  hub_->connectionAuthenticated(connection_);
  const auto decoded = percentDecode(std::string_view(request["X-Qova-File-Name"]));
  if (!decoded) return respondJson(http::status::bad_request, R"({"ok":false,"error":"bad name"})", false);
  const auto maxBytes = hub_->config().maxUploadBytes;
  if (const auto length = parser_->content_length(); length && *length > maxBytes) {
    return respondJson(http::status::payload_too_large, R"({"ok":false,"error":"too large"})", false);
  }
  sink_ = UploadSink::open(hub_->config().receivedFolder, sanitizeFileName(*decoded), maxBytes);
  if (!sink_) return respondJson(http::status::internal_server_error, R"({"ok":false,"error":"cannot store"})", false);

  parser_->body_limit(maxBytes);
  chunk_.resize(kChunkBytes);
  if (parser_->is_done()) return finishUpload();
  readBody();
}

void HttpSession::readBody() {
  parser_->get().body().data = chunk_.data();
  parser_->get().body().size = chunk_.size();
  stream_.expires_after(kBodyTimeout);
  http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code error, std::size_t) {
    if (error == http::error::need_buffer) error = {};
    if (error == http::error::body_limit) {
      self->sink_.reset();
      return self->respondJson(http::status::payload_too_large, R"({"ok":false,"error":"too large"})", false);
    }
    if (error) {
      // The viewer went away mid-upload: the temporary file goes with the sink.
      self->sink_.reset();
      return self->close();
    }
    const auto used = self->chunk_.size() - self->parser_->get().body().size;
    if (used > 0 && !self->sink_->write(std::string_view(self->chunk_.data(), used))) {
      self->sink_.reset();
      return self->respondJson(http::status::payload_too_large, R"({"ok":false,"error":"too large or not stored"})",
                               false);
    }
    if (self->parser_->is_done()) return self->finishUpload();
    self->readBody();
  });
}

void HttpSession::finishUpload() {
  const auto keepAlive = parser_->get().keep_alive();
  const auto path = sink_->commit();
  sink_.reset();
  if (!path) return respondJson(http::status::internal_server_error, R"({"ok":false,"error":"cannot store"})", false);
  hub_->fileReceived(*path);
  const auto name = path->substr(path->rfind('/') + 1);
  respondJson(http::status::ok,
              nlohmann::json{{"ok", true}, {"name", name}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
              keepAlive);
}

void HttpSession::respondJson(http::status status, const std::string& json, bool keepAlive) {
  respond(status, json, "application/json", keepAlive);
}

void HttpSession::respond(http::status status, std::string body, const char* contentType, bool keepAlive) {
  auto response = std::make_shared<http::response<http::string_body>>(status, 11);
  response->set(http::field::server, "qova-agent-helper");
  response->set(http::field::content_type, contentType);
  response->set(http::field::cache_control, "no-store");
  common::setSecurityHeaders(*response, false);
  const bool head = parser_ && parser_->get().method() == http::verb::head;
  response->body() = std::move(body);
  response->keep_alive(keepAlive);
  response->prepare_payload();
  if (head) response->body().clear();
  stream_.expires_after(kHeaderTimeout);
  http::async_write(stream_, *response,
                    [self = shared_from_this(), response, keepAlive](beast::error_code error, std::size_t) {
                      if (error || !keepAlive) return self->close();
                      self->readHeader();
                    });
}

void HttpSession::close() {
  beast::error_code ignored;
  stream_.socket().shutdown(net::ip::tcp::socket::shutdown_send, ignored);
  stream_.close();
}

}  // namespace qova::agent
