#include "viewer_server.h"

#include <mutex>
#include <optional>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/strand.hpp>

#include "http_session.h"
#include "line_writer.h"
#include "viewer_hub.h"

namespace qova::agent {

namespace net = boost::asio;
using tcp = net::ip::tcp;

struct ViewerServer::Impl {
  Impl(ServerConfig config, LineWriter& lines)
      : hub(std::make_shared<ViewerHub>(io, std::move(config), lines)), acceptor(io), signals(io, SIGTERM, SIGINT) {}

  void accept() {
    acceptor.async_accept([this](boost::system::error_code error, tcp::socket socket) {
      if (error == net::error::operation_aborted) return;
      if (!error) {
        if (const auto connection = hub->takeConnection()) {
          std::make_shared<HttpSession>(std::move(socket), hub, connection)->start();
        }
        // With every place held by a viewer, the socket is simply closed by going out of scope.
      }
      accept();
    });
  }

  net::io_context io{1};
  // The newest frame not yet taken by the network thread. When that thread is busy, a newer frame
  // replaces a waiting one: the newest picture always gets through, and nothing piles up.
  std::mutex frameLock;
  std::optional<FrameMessage> waitingFrame;
  bool frameTakePosted = false;
  std::shared_ptr<ViewerHub> hub;
  tcp::acceptor acceptor;
  net::signal_set signals;
};

ViewerServer::ViewerServer(ServerConfig config, LineWriter& lines)
    : impl_(std::make_unique<Impl>(std::move(config), lines)) {}

ViewerServer::~ViewerServer() = default;

bool ViewerServer::listen(std::string& error) {
  const auto& address = impl_->hub->config().address;
  boost::system::error_code ec;
  const auto ip = net::ip::make_address(address.host, ec);
  if (ec) {
    error = "not an IP address: " + address.host;
    return false;
  }
  const tcp::endpoint endpoint(ip, address.port);
  auto& acceptor = impl_->acceptor;
  acceptor.open(endpoint.protocol(), ec);
  if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) acceptor.bind(endpoint, ec);
  if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) error = ec.message();
  return !ec;
}

std::uint16_t ViewerServer::port() const {
  boost::system::error_code ec;
  const auto endpoint = impl_->acceptor.local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void ViewerServer::run() {
  impl_->signals.async_wait([this](const boost::system::error_code& error, int) {
    if (!error) impl_->io.stop();
  });
  impl_->accept();
  impl_->io.run();
}

void ViewerServer::stop() { net::post(impl_->io, [this] { impl_->io.stop(); }); }

void ViewerServer::deliverFrame(FrameMessage frame) {
  {
    std::lock_guard lock(impl_->frameLock);
    impl_->waitingFrame = std::move(frame);
    if (impl_->frameTakePosted) return;
    impl_->frameTakePosted = true;
  }
  net::post(impl_->io, [impl = impl_.get()] {
    std::optional<FrameMessage> taken;
    {
      std::lock_guard lock(impl->frameLock);
      taken.swap(impl->waitingFrame);
      impl->frameTakePosted = false;
    }
    if (taken) impl->hub->frame(std::move(*taken));
  });
}

void ViewerServer::deliverPermission(PermissionState state) {
  net::post(impl_->io, [hub = impl_->hub, state] { hub->permission(state); });
}

}  // namespace qova::agent
