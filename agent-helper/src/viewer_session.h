#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/buffer_body.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/websocket/stream.hpp>

#include "message_outbox.h"
#include "prefixed_stream.h"
#include "socket_upload.h"
#include "viewer_hub.h"
#include "viewer_seal.h"

namespace qova::agent {

using common::MessageOutbox;

// One viewer's WebSocket. Until it gives the access code it may send nothing but a short login and
// gets nothing but the answer to that; afterwards it receives the permission state and frames and
// may send input and files. Our page logs in through the exchange on the code and then seals every
// message both ways; a message that does not open ends the session. A viewer that reads slowly skips frames (only the newest one waits) and never
// holds back the others. Lives on the network thread; kept alive by its pending operations.
class ViewerSession : public ViewerPeer, public std::enable_shared_from_this<ViewerSession> {
 public:
  static constexpr std::size_t kMaxMessageBytes = 512 * 1024;
  // A login is a few dozen bytes; anything larger before the code is not worth parsing.
  static constexpr std::size_t kMaxLoginMessageBytes = 256;

  // `early` holds bytes that came behind the upgrade request; `connection` is the hub's place of it.
  ViewerSession(boost::beast::tcp_stream&& stream, std::string early, std::shared_ptr<ViewerHub> hub,
                std::uint64_t connection);
  ~ViewerSession();

  void start(boost::beast::http::request<boost::beast::http::buffer_body> request);
  void sendText(std::string text) override;
  void sendFrame(std::shared_ptr<const std::string> frame) override;
  void sendSeries(std::shared_ptr<const std::vector<std::string>> messages) override;
  const std::string& uploadToken() const override { return token_; }
  std::string place() const override { return place_; }
  void end(const std::string& reason) override;

 private:
  void readNext();
  void handleMessage(std::string_view text);
  void handleAuth(const std::string& code);
  void handleSeal(const nlohmann::json& message);
  bool admitted();
  void wrongCode();
  void authenticated();
  void handleSealed(std::string_view data);
  void finish();

  boost::beast::websocket::stream<PrefixedStream> ws_;
  boost::beast::flat_buffer buffer_;
  std::shared_ptr<ViewerHub> hub_;
  std::uint64_t connection_;
  MessageOutbox<boost::beast::websocket::stream<PrefixedStream>> outbox_;
  bool authenticated_ = false;
  bool answerPending_ = false;
  bool finished_ = false;
  bool closing_ = false;  // told the viewer why it ends; nothing it sends counts any more
  boost::asio::steady_timer deadline_;
  boost::asio::steady_timer delay_;
  std::string token_;
  std::string place_;  // the viewer's address, read while the socket is surely open
  std::optional<ViewerSeal> seal_;  // the exchange, while the page's proof is awaited
  std::shared_ptr<seal::SealedDirection> fromPage_;
  std::unique_ptr<SocketUpload> upload_;
};

}  // namespace qova::agent
