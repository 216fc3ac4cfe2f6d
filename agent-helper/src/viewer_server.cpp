#include "viewer_server.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <list>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <variant>
#include <optional>
#include <vector>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>

#include "http_session.h"
#include "line_writer.h"
#include "viewer_hub.h"

namespace qova::agent {

namespace net = boost::asio;
using tcp = net::ip::tcp;

namespace {
constexpr std::chrono::milliseconds kAcceptRetryBase{10};
constexpr std::chrono::milliseconds kAcceptRetryCap{1000};
}  // namespace

struct ViewerServer::Impl {
  Impl(ServerConfig config, LineWriter& lines)
      : hub(std::make_shared<ViewerHub>(io, std::move(config), lines)), signals(io, SIGTERM, SIGINT) {}
  ~Impl() {
    if (reserve >= 0) ::close(reserve);
  }

  void accept(tcp::acceptor& acceptor, unsigned failures = 0) {
    acceptor.async_accept([this, &acceptor, failures](boost::system::error_code error, tcp::socket socket) {
      if (error == net::error::operation_aborted) return;
      if (error) return acceptFailed(acceptor, error, failures);
      if (const auto connection = hub->takeConnection()) {
        // A frame's last segment must not wait for the viewer's acknowledgement of the one before.
        boost::system::error_code ignored;
        socket.set_option(tcp::no_delay(true), ignored);
        std::make_shared<HttpSession>(std::move(socket), hub, connection)->start();
      }
      // With every place held by a viewer, the socket is simply closed by going out of scope.
      accept(acceptor);
    });
  }

  // The connection that could not be accepted stays pending, so accepting again at once would find
  // it again and spin. Out of descriptors, the reserve one makes room to take it and close it, so its
  // client hears at once instead of waiting in the queue, and the next is taken on; otherwise the
  // next try waits, longer each time, until one succeeds.
  void acceptFailed(tcp::acceptor& acceptor, const boost::system::error_code& error, unsigned failures) {
    // Accept's errors are the system's numbers (compared as such: a condition's virtual comparison
    // trips the sanitizers' check of Boost's constant categories).
    if ((error.value() == EMFILE || error.value() == ENFILE) && reserve >= 0) {
      ::close(reserve);
      boost::system::error_code taken, ignored;
      acceptor.non_blocking(true, ignored);
      acceptor.accept(taken).close(ignored);
      acceptor.non_blocking(false, ignored);
      reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (!taken) return accept(acceptor, failures);
    }
    const auto delay = std::min(kAcceptRetryCap, kAcceptRetryBase * (1u << std::min(failures, 10u)));
    auto wait = std::make_shared<net::steady_timer>(io, delay);
    wait->async_wait([this, &acceptor, failures, wait](const boost::system::error_code& error) {
      if (!error) accept(acceptor, failures + 1);
    });
  }

  bool bindAll(const std::vector<tcp::endpoint>& endpoints, std::string& error);

  net::io_context io{1};
  // Kept open to be given up when descriptors run out (see acceptFailed); -1 while none could be had.
  int reserve = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  // The newest frame not yet taken by the network thread. When that thread is busy, a newer frame
  // replaces a waiting one: the newest picture always gets through, and nothing piles up.
  std::mutex frameLock;
  std::optional<FrameMessage> waitingFrame;
  bool frameTakePosted = false;
  // Updates build on each other, so none may be dropped as frames are: the reader waits instead
  // (and with it the application's writes) while this much waits for the network thread.
  static constexpr std::size_t kMaxWaitingPictureBytes = 64u << 20;
  std::condition_variable pictureRoom;
  std::deque<std::variant<PictureAccepted, UpdateMessage>> waitingPicture;
  std::size_t waitingPictureBytes = 0;
  bool stopping = false;

  void takePicture() {
    std::deque<std::variant<PictureAccepted, UpdateMessage>> taken;
    {
      std::lock_guard lock(frameLock);
      taken.swap(waitingPicture);
      waitingPictureBytes = 0;
    }
    pictureRoom.notify_all();
    for (auto& message : taken) {
      if (auto* update = std::get_if<UpdateMessage>(&message)) {
        hub->update(std::move(*update));
      } else {
        hub->picture(std::get<PictureAccepted>(message));
      }
    }
  }
  std::shared_ptr<ViewerHub> hub;
  std::list<tcp::acceptor> acceptors;
  net::signal_set signals;
};

ViewerServer::ViewerServer(ServerConfig config, LineWriter& lines)
    : impl_(std::make_unique<Impl>(std::move(config), lines)) {}

ViewerServer::~ViewerServer() = default;

namespace {

// The loopback address of the other family: browsers try "localhost" on ::1 first, so whoever holds
// it there would be taken for us.
std::optional<net::ip::address> loopbackPartner(const net::ip::address& ip) {
  if (ip.is_v4() && (ip.is_loopback() || ip.is_unspecified())) return net::ip::address(net::ip::address_v6::loopback());
  if (ip.is_v6() && ip.is_loopback()) return net::ip::address(net::ip::address_v4::loopback());
  return std::nullopt;
}

std::string describe(const tcp::endpoint& endpoint) {
  const auto host = endpoint.address().to_string();
  return (endpoint.address().is_v6() ? "[" + host + "]" : host) + ":" + std::to_string(endpoint.port());
}

}  // namespace

bool ViewerServer::Impl::bindAll(const std::vector<tcp::endpoint>& endpoints, std::string& error) {
  acceptors.clear();
  std::uint16_t port = endpoints.front().port();
  for (const auto& wanted : endpoints) {
    const tcp::endpoint endpoint(wanted.address(), port);
    auto& acceptor = acceptors.emplace_back(io);
    boost::system::error_code ec;
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec && &wanted != &endpoints.front() &&
        (ec == boost::system::errc::address_not_available || ec == boost::system::errc::address_family_not_supported)) {
      // A machine without that loopback address: nobody can take it there either.
      acceptors.pop_back();
      continue;
    }
    if (ec) {
      error = describe(endpoint) + ": " + ec.message();
      acceptors.clear();
      return false;
    }
    port = acceptor.local_endpoint(ec).port();
  }
  return true;
}

bool ViewerServer::listen(std::string& error) {
  const auto& address = impl_->hub->config().address;
  boost::system::error_code ec;
  const auto ip = net::ip::make_address(address.host, ec);
  if (ec) {
    error = "not an IP address: " + address.host;
    return false;
  }
  std::vector<tcp::endpoint> endpoints{{ip, address.port}};
  if (const auto partner = loopbackPartner(ip)) endpoints.emplace_back(*partner, address.port);
  // A port left to the system may be free on one address and taken on the other: try a few.
  const int tries = address.port == 0 ? 8 : 1;
  for (int i = 0; i < tries; ++i) {
    if (impl_->bindAll(endpoints, error)) return true;
  }
  return false;
}

std::uint16_t ViewerServer::port() const {
  boost::system::error_code ec;
  const auto endpoint = impl_->acceptors.empty() ? tcp::endpoint{} : impl_->acceptors.front().local_endpoint(ec);
  return ec ? 0 : endpoint.port();
}

void ViewerServer::run() {
  impl_->signals.async_wait([this](const boost::system::error_code& error, int) {
    if (!error) impl_->io.stop();
  });
  for (auto& acceptor : impl_->acceptors) impl_->accept(acceptor);
  impl_->io.run();
}

void ViewerServer::stop() {
  {
    std::lock_guard lock(impl_->frameLock);
    impl_->stopping = true;
  }
  impl_->pictureRoom.notify_all();
  net::post(impl_->io, [this] { impl_->io.stop(); });
}

net::io_context& ViewerServer::io() { return impl_->io; }
std::shared_ptr<ViewerHub> ViewerServer::hub() { return impl_->hub; }

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

void ViewerServer::deliverPicture(std::variant<PictureAccepted, UpdateMessage> message) {
  const auto* update = std::get_if<UpdateMessage>(&message);
  const auto bytes = update ? update->payload.size() + (update->shape ? update->shape->rgba.size() : 0) : 0;
  bool post = false;
  {
    std::unique_lock lock(impl_->frameLock);
    impl_->pictureRoom.wait(lock, [&] {
      return impl_->stopping || impl_->waitingPicture.empty() ||
             impl_->waitingPictureBytes + bytes <= Impl::kMaxWaitingPictureBytes;
    });
    if (impl_->stopping) return;
    post = impl_->waitingPicture.empty();
    impl_->waitingPicture.push_back(std::move(message));
    impl_->waitingPictureBytes += bytes;
  }
  if (post) net::post(impl_->io, [impl = impl_.get()] { impl->takePicture(); });
}

void ViewerServer::deliverHello(HelloAnswer answer) {
  net::post(impl_->io, [hub = impl_->hub, answer = std::move(answer)] { hub->hello(answer); });
}

void ViewerServer::deliverEndAll() {
  net::post(impl_->io, [hub = impl_->hub] { hub->endAll(); });
}

void ViewerServer::deliverClipboard(std::string text) {
  net::post(impl_->io, [hub = impl_->hub, text = std::move(text)] { hub->clipboard(text); });
}

void ViewerServer::deliverDisplays(DisplayList displays) {
  net::post(impl_->io, [hub = impl_->hub, displays = std::move(displays)] { hub->displays(displays); });
}

void ViewerServer::deliverPermission(PermissionState state) {
  net::post(impl_->io, [hub = impl_->hub, state] { hub->permission(state); });
}

}  // namespace qova::agent
