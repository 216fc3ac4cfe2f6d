#pragma once

#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/stream.hpp>

namespace qova::agent {

class ViewerHub;

// One viewer's WebSocket. Until it gives the access code it gets nothing but the answer to that;
// afterwards it receives the permission state and frames and may send input. A viewer that reads
// slowly skips frames (only the newest one waits) and never holds back the others.
// Lives on the network thread; kept alive by its pending operations.
class ViewerSession : public std::enable_shared_from_this<ViewerSession> {
 public:
  static constexpr std::size_t kMaxMessageBytes = 512 * 1024;
  static constexpr std::size_t kMaxQueuedTexts = 256;

  ViewerSession(boost::asio::ip::tcp::socket&& socket, std::shared_ptr<ViewerHub> hub, std::string client);
  ~ViewerSession();

  void start(boost::beast::http::request<boost::beast::http::buffer_body> request);
  void sendText(std::string text);
  void sendFrame(std::shared_ptr<const std::string> frame);
  const std::string& uploadToken() const { return token_; }

 private:
  void readNext();
  void handleMessage(std::string_view text);
  void handleAuth(std::string code);
  void judge(const std::string& code);
  void writeNext();
  void finish();

  boost::beast::websocket::stream<boost::beast::tcp_stream> ws_;
  boost::beast::flat_buffer buffer_;
  std::shared_ptr<ViewerHub> hub_;
  std::string client_;
  std::deque<std::string> texts_;
  std::shared_ptr<const std::string> pendingFrame_;
  std::shared_ptr<const std::string> writingFrame_;
  std::string writingText_;
  bool writing_ = false;
  bool authenticated_ = false;
  bool authPending_ = false;
  bool finished_ = false;
  boost::asio::steady_timer deadline_;
  boost::asio::steady_timer delay_;
  std::string token_;
};

}  // namespace qova::agent
