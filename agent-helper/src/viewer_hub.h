#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <nlohmann/json_fwd.hpp>

#include "access_guard.h"
#include "input_stream_parser.h"
#include "picture_store.h"
#include "quality_tuner.h"
#include "viewer_command.h"
#include "viewer_server.h"

namespace qova::agent {

using common::accessCodeMatches;
using common::GuessLimiter;

class LineWriter;

// A viewer that gave the right code, on the local page or through the server: what the hub needs of it.
class ViewerPeer {
 public:
  virtual ~ViewerPeer() = default;
  virtual void sendText(std::string text) = 0;
  virtual void sendFrame(std::shared_ptr<const std::string> frame) = 0;
  // Text messages that reach the viewer back to back; a newer series replaces one not yet begun.
  virtual void sendSeries(std::shared_ptr<const std::vector<std::string>> messages) = 0;
  virtual const std::string& uploadToken() const = 0;
  // Where the viewer came from, as the application may show it.
  virtual std::string place() const = 0;
  // Tells the viewer its session ended and why, then closes it.
  virtual void end(const std::string& reason) = 0;
};

// What all viewers share: who is watching, the newest frame, the permission state, the capture
// request to the application and the local page's guard against code guessing (logins through the
// server have their own). Lives on the network thread only.
class ViewerHub {
 public:
  static constexpr std::size_t kMaxConnections = 128;
  // Connections that have not shown the code yet (page loads, logins in progress, idle sockets).
  static constexpr std::size_t kMaxUnauthenticated = 64;

  ViewerHub(boost::asio::io_context& io, ServerConfig config, LineWriter& lines);

  const ServerConfig& config() const { return config_; }
  void deviceIdChanged(std::string id) { config_.deviceId = std::move(id); }
  GuessLimiter& limiter() { return limiter_; }
  LineWriter& lines() { return lines_; }
  boost::asio::io_context& io() { return io_; }

  // Connection places, so a flood of sockets cannot use up descriptors. A new connection is never
  // turned away for idle or unfinished ones: when too many connections without the code wait, or
  // every place is taken, the oldest of those is closed to make room. Zero only when every place
  // belongs to a connection that showed the code.
  std::uint64_t takeConnection();
  // How to close connection `id` when room is needed; replaces an earlier way.
  void watchConnection(std::uint64_t id, std::function<void()> close);
  void connectionAuthenticated(std::uint64_t id);
  void releaseConnection(std::uint64_t id);

  // A viewer that gave the right code: it gets the permission state and the newest frame at once.
  void join(const std::shared_ptr<ViewerPeer>& viewer);
  void leave(const ViewerPeer* viewer);
  // The viewer an upload token belongs to, if it is still connected.
  std::shared_ptr<ViewerPeer> viewerForToken(std::string_view token) const;

  void frame(FrameMessage frame);
  // The application's answer to our request for the picture; updates follow it.
  void picture(const PictureAccepted& accepted);
  void update(UpdateMessage update);
  // A viewer drew the update it was sent: "seq" names it; anything else is ignored.
  void ack(const ViewerPeer* viewer, const nlohmann::json& message);
  void permission(PermissionState state);
  void input(const nlohmann::json& event);
  void fileReceived(const std::string& path);
  // The application's answer to our hello; with "viewers" granted, every login and leave is reported.
  void hello(const HelloAnswer& answer);
  // The application asks to end every viewer's session.
  void endAll();
  // Text copied on the host, for every viewer, if the application granted the clipboard.
  void clipboard(const std::string& text);
  // The application's displays, with the one now captured: every viewer is shown them.
  void displays(const DisplayList& list);
  // A viewer chose a display: {"id": N}, one of those listed; captured for every viewer from then on.
  void chooseDisplay(const nlohmann::json& message);

  std::string permissionText() const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Watching {
    std::weak_ptr<ViewerPeer> peer;
    const ViewerPeer* raw = nullptr;
    std::uint64_t key = 0;
    Clock::time_point sentAt{};
    std::size_t sentBytes = 0;
    std::optional<int> rttMs;       // the last round trip, reported in the next header
    double smoothedMs = 0;          // what the quality is tuned by
    double bytesPerSecond = 0;
  };

  void reportViewers(const std::string& joined);
  void requestCapture(bool start);
  void armCaptureRetry();
  void broadcastText(const std::string& text);
  void captureLine(const nlohmann::json& action);
  std::string startLine() const;
  std::string displaysText() const;
  void sendUpdate(Watching& watching);
  void tune();
  Watching* watching(const ViewerPeer* viewer);
  std::vector<std::shared_ptr<ViewerPeer>> liveViewers() const;

  boost::asio::io_context& io_;
  ServerConfig config_;
  LineWriter& lines_;
  GuessLimiter limiter_;
  std::vector<Watching> viewers_;
  std::uint64_t nextViewerKey_ = 1;
  bool reportsViewers_ = false;
  bool clipboardGranted_ = false;
  bool choosesDisplay_ = false;  // the application lists its displays and takes our choice
  DisplayList displays_;
  std::optional<std::uint32_t> chosenDisplay_;
  bool pictureMode_ = false;
  int pictureTile_ = 0;  // the application answered with the picture: updates, not frames
  PictureStore store_;
  QualityTuner tuner_;
  std::shared_ptr<const std::string> latestFrame_;
  InputSpace space_;
  std::optional<PermissionState> permissions_;
  bool captureRequested_ = false;
  bool frameSinceRequest_ = false;
  boost::asio::steady_timer captureRetry_;
  struct Connection {
    std::uint64_t id;
    bool authenticated;
    std::function<void()> close;
  };
  std::list<Connection> connections_;  // oldest first
  std::uint64_t nextConnectionId_ = 1;
};

// The binary WebSocket message of one frame: a 4-byte big-endian header length, the header JSON
// (sizes and timestamp) and the JPEG bytes.
std::string encodeFrameForViewer(const FrameMessage& frame);

// The messages of one copied text: {"type":"clipboard","text":...} pieces, cut between characters,
// each small enough for any link to a viewer to pass, all but the last with "more": true.
std::vector<std::string> clipboardMessages(std::string_view text);

}  // namespace qova::agent
