#pragma once

#include <string>
#include <utility>

#include <boost/asio/buffer.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/bind_handler.hpp>
#include <boost/beast/core/role.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/websocket/teardown.hpp>

namespace qova::agent {

// A connection whose first bytes were already read by someone else: the HTTP reader may have taken
// a WebSocket client's first messages together with its upgrade request. Those bytes are read from
// here first, then the socket.
class PrefixedStream {
 public:
  using executor_type = boost::beast::tcp_stream::executor_type;

  PrefixedStream(boost::beast::tcp_stream&& next, std::string prefix)
      : next_(std::move(next)), prefix_(std::move(prefix)) {}

  executor_type get_executor() noexcept { return next_.get_executor(); }
  boost::beast::tcp_stream& next_layer() noexcept { return next_; }

  template <class MutableBuffers, class Handler>
  void async_read_some(const MutableBuffers& buffers, Handler&& handler) {
    if (prefix_.empty()) return next_.async_read_some(buffers, std::forward<Handler>(handler));
    const auto n = boost::asio::buffer_copy(buffers, boost::asio::buffer(prefix_));
    prefix_.erase(0, n);
    // Never complete inside the call: callers rely on that as with any asynchronous read.
    boost::asio::post(get_executor(),
                      boost::beast::bind_front_handler(std::forward<Handler>(handler), boost::beast::error_code{}, n));
  }

  template <class ConstBuffers, class Handler>
  void async_write_some(const ConstBuffers& buffers, Handler&& handler) {
    next_.async_write_some(buffers, std::forward<Handler>(handler));
  }

 private:
  boost::beast::tcp_stream next_;
  std::string prefix_;
};

// How a WebSocket closes the connection under it: as it would the socket itself.
inline void teardown(boost::beast::role_type role, PrefixedStream& stream, boost::beast::error_code& error) {
  using boost::beast::websocket::teardown;
  teardown(role, stream.next_layer().socket(), error);
}

template <class Handler>
void async_teardown(boost::beast::role_type role, PrefixedStream& stream, Handler&& handler) {
  using boost::beast::websocket::async_teardown;
  async_teardown(role, stream.next_layer().socket(), std::forward<Handler>(handler));
}

}  // namespace qova::agent
