#include "viewer_hub.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"
#include "line_writer.h"

namespace qova::agent {

namespace {
// The application answers a capture request only with frames. While none come (the screen stream
// failed, permission was missing, or the screen is still), the request is repeated; the
// application ignores a start while it captures.
constexpr std::chrono::seconds kCaptureRetry{3};
}  // namespace

std::string encodeFrameForViewer(const FrameMessage& frame) {
  const auto header = nlohmann::json{{"width", frame.width},
                                     {"height", frame.height},
                                     {"inputWidth", frame.inputWidth},
                                     {"inputHeight", frame.inputHeight},
                                     {"timestamp", frame.timestamp}}
                          .dump();
  std::string out;
  out.reserve(4 + header.size() + frame.jpeg.size());
  const auto length = static_cast<std::uint32_t>(header.size());
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((length >> shift) & 0xFF);
  out += header;
  out += frame.jpeg;
  return out;
}

ViewerHub::ViewerHub(boost::asio::io_context& io, ServerConfig config, LineWriter& lines)
    : io_(io), config_(std::move(config)), lines_(lines), permissions_(config_.permissions), captureRetry_(io) {}

std::uint64_t ViewerHub::takeConnection() {
  const auto waiting = [](const Connection& c) { return !c.authenticated; };
  const auto unauthenticated = std::count_if(connections_.begin(), connections_.end(), waiting);
  if (static_cast<std::size_t>(unauthenticated) >= kMaxUnauthenticated || connections_.size() >= kMaxConnections) {
    const auto oldest = std::find_if(connections_.begin(), connections_.end(), waiting);
    if (oldest == connections_.end()) return 0;
    // Out of the list first: closing it must not find it again, and its place is free from now on.
    const auto close = std::move(oldest->close);
    connections_.erase(oldest);
    if (close) close();
  }
  connections_.push_back({nextConnectionId_, false, {}});
  return nextConnectionId_++;
}

void ViewerHub::watchConnection(std::uint64_t id, std::function<void()> close) {
  for (auto& connection : connections_) {
    if (connection.id == id) connection.close = std::move(close);
  }
}

void ViewerHub::connectionAuthenticated(std::uint64_t id) {
  for (auto& connection : connections_) {
    if (connection.id == id) connection.authenticated = true;
  }
}

void ViewerHub::releaseConnection(std::uint64_t id) {
  std::erase_if(connections_, [id](const auto& c) { return c.id == id; });
}

std::vector<std::shared_ptr<ViewerPeer>> ViewerHub::liveViewers() const {
  std::vector<std::shared_ptr<ViewerPeer>> live;
  for (const auto& weak : viewers_) {
    if (auto viewer = weak.lock()) live.push_back(std::move(viewer));
  }
  return live;
}

void ViewerHub::join(const std::shared_ptr<ViewerPeer>& viewer) {
  std::erase_if(viewers_, [](const auto& weak) { return weak.expired(); });
  viewers_.push_back(viewer);
  viewer->sendText(permissionText());
  if (latestFrame_) viewer->sendFrame(latestFrame_);
  broadcastText(nlohmann::json{{"type", "viewers"}, {"count", viewers_.size()}}.dump());
  lines_.emit("[agent] viewer joined (" + std::to_string(viewers_.size()) + " watching)");
  if (viewers_.size() == 1) requestCapture(true);
}

void ViewerHub::leave(const ViewerPeer* viewer) {
  const auto before = viewers_.size();
  std::erase_if(viewers_, [viewer](const auto& weak) {
    auto live = weak.lock();
    return !live || live.get() == viewer;
  });
  if (viewers_.size() == before) return;
  lines_.emit("[agent] viewer left (" + std::to_string(viewers_.size()) + " watching)");
  broadcastText(nlohmann::json{{"type", "viewers"}, {"count", viewers_.size()}}.dump());
  if (viewers_.empty()) requestCapture(false);
}

std::shared_ptr<ViewerPeer> ViewerHub::viewerForToken(std::string_view token) const {
  std::shared_ptr<ViewerPeer> found;
  // Every token is compared, each in constant time, so the answer time tells nothing.
  for (const auto& viewer : liveViewers()) {
    if (accessCodeMatches(viewer->uploadToken(), token)) found = viewer;
  }
  return found;
}

void ViewerHub::frame(FrameMessage frame) {
  space_ = {frame.inputWidth, frame.inputHeight};
  frameSinceRequest_ = true;
  // Frames that arrive after the last viewer left are not kept: a later viewer must not be shown a
  // picture from before its time.
  if (!captureRequested_) return;
  latestFrame_ = std::make_shared<const std::string>(encodeFrameForViewer(frame));
  for (const auto& viewer : liveViewers()) viewer->sendFrame(latestFrame_);
}

void ViewerHub::permission(PermissionState state) {
  const bool screenGranted = state.screen && !(permissions_ && permissions_->screen);
  permissions_ = state;
  broadcastText(permissionText());
  // Capture that failed for want of permission is asked for again as soon as it is granted.
  if (screenGranted && captureRequested_) requestCapture(true);
}

void ViewerHub::input(const nlohmann::json& event) {
  if (auto line = inputCommandLine(event, space_)) lines_.emit(std::move(*line), LineKind::Droppable);
}

void ViewerHub::fileReceived(const std::string& path) {
  lines_.emit(std::string(kFileReceivedMarker) + path);
}

std::string ViewerHub::permissionText() const {
  nlohmann::json message = {{"type", "permission"}, {"known", permissions_.has_value()}};
  if (permissions_) {
    message["screen"] = permissions_->screen;
    message["input"] = permissions_->input;
  }
  return message.dump();
}

void ViewerHub::requestCapture(bool start) {
  captureRequested_ = start;
  frameSinceRequest_ = false;
  lines_.emit(std::string(kCaptureMarker) + (start ? R"({"action":"start"})" : R"({"action":"stop"})"));
  if (start) {
    armCaptureRetry();
  } else {
    captureRetry_.cancel();
    latestFrame_.reset();
  }
}

void ViewerHub::armCaptureRetry() {
  captureRetry_.expires_after(kCaptureRetry);
  captureRetry_.async_wait([this](const boost::system::error_code& error) {
    if (error || !captureRequested_) return;
    if (!frameSinceRequest_) lines_.emit(std::string(kCaptureMarker) + R"({"action":"start"})");
    frameSinceRequest_ = false;
    armCaptureRetry();
  });
}

void ViewerHub::broadcastText(const std::string& text) {
  for (const auto& viewer : liveViewers()) viewer->sendText(text);
}

}  // namespace qova::agent
