#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include <boost/asio/io_context.hpp>

#include "agent_identity.h"
#include "input_stream_parser.h"

namespace qova::agent {

class LineWriter;
class ViewerHub;

struct ServerConfig {
  ListenAddress address;
  std::string accessCode;
  std::string deviceId;
  std::string receivedFolder;
  std::uint64_t maxUploadBytes = 1ull << 30;
  std::optional<PermissionState> permissions;  // from the environment, until the first message
  bool askPicture = true;                       // ask the application for updates instead of frames
};

// The web viewer: static page, one WebSocket per viewer for frames and input, and file uploads.
// All network work runs on the thread that calls run(); the deliver* calls may come from any
// thread and are handed over to it.
class ViewerServer {
 public:
  ViewerServer(ServerConfig config, LineWriter& lines);
  ~ViewerServer();
  ViewerServer(const ViewerServer&) = delete;
  ViewerServer& operator=(const ViewerServer&) = delete;

  // Binds the listening socket. False with a reason when the address cannot be used.
  bool listen(std::string& error);
  // The port actually bound (differs from the configured one when that was 0).
  std::uint16_t port() const;
  // Serves until stop() or SIGTERM/SIGINT.
  void run();
  void stop();

  // For other connections of this agent that serve viewers on the same thread (the server link).
  boost::asio::io_context& io();
  std::shared_ptr<ViewerHub> hub();

  void deliverFrame(FrameMessage frame);
  // Picture answers and updates, each delivered in order; blocks while too many bytes wait.
  void deliverPicture(std::variant<PictureAccepted, UpdateMessage> message);
  void deliverPermission(PermissionState state);
  void deliverHello(HelloAnswer answer);
  void deliverEndAll();
  void deliverClipboard(std::string text);
  void deliverDisplays(DisplayList displays);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace qova::agent
