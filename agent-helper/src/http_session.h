#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/status.hpp>

namespace qova::agent {

class ViewerHub;
class UploadSink;

// One HTTP connection: serves the viewer page, hands WebSocket upgrades to a ViewerSession and
// streams uploads to the received files folder. Lives on the network thread.
class HttpSession : public std::enable_shared_from_this<HttpSession> {
 public:
  // `connection` is the hub's place of this connection.
  HttpSession(boost::asio::ip::tcp::socket&& socket, std::shared_ptr<ViewerHub> hub, std::uint64_t connection);
  ~HttpSession();

  void start();

 private:
  void readHeader();
  void handleRequest();
  bool requestFromOwnPage() const;
  void startUpload();
  void readBody();
  void finishUpload();
  void respond(boost::beast::http::status status, std::string body, const char* contentType, bool keepAlive);
  void respondJson(boost::beast::http::status status, const std::string& json, bool keepAlive);
  void close();

  boost::beast::tcp_stream stream_;
  boost::beast::flat_buffer buffer_;
  std::shared_ptr<ViewerHub> hub_;
  std::uint64_t connection_;
  // One parser per request; only an upload's body is ever read through it, in pieces.
  std::optional<boost::beast::http::request_parser<boost::beast::http::buffer_body>> parser_;
  std::unique_ptr<UploadSink> sink_;
  std::vector<char> chunk_;
  bool upgraded_ = false;
};

}  // namespace qova::agent
