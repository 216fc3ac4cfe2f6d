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
// A viewer whose update has been out this long is not reading (a hidden tab, a dead link): it is
// left out of the tuning rather than pulling every viewer's quality down.
constexpr std::chrono::seconds kStalledViewer{5};
constexpr double kSmoothing = 0.3;
// Raw bytes of copied text per message: escaped as JSON at worst six times as long, a piece stays
// well under what the server relays as one text message.
constexpr std::size_t kClipboardPieceBytes = 8 * 1024;
}  // namespace

std::vector<std::string> clipboardMessages(std::string_view text) {
  std::vector<std::string> messages;
  while (!text.empty()) {
    auto size = std::min(kClipboardPieceBytes, text.size());
    // Back to the first byte of a character, so every piece is UTF-8 of its own.
    while (size < text.size() && size > 1 && (static_cast<unsigned char>(text[size]) & 0xC0) == 0x80) --size;
    nlohmann::json message = {{"type", "clipboard"}, {"text", text.substr(0, size)}};
    text.remove_prefix(size);
    if (!text.empty()) message["more"] = true;
    messages.push_back(message.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  return messages;
}

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
  for (const auto& watching : viewers_) {
    if (auto viewer = watching.peer.lock()) live.push_back(std::move(viewer));
  }
  return live;
}

void ViewerHub::join(const std::shared_ptr<ViewerPeer>& viewer) {
  std::erase_if(viewers_, [this](const Watching& w) {
    if (w.peer.expired()) store_.removeViewer(w.key);
    return w.peer.expired();
  });
  auto& added = viewers_.emplace_back();
  added.peer = viewer;
  added.raw = viewer.get();
  added.key = nextViewerKey_++;
  store_.addViewer(viewers_.back().key);
  viewer->sendText(permissionText());
  if (!displays_.displays.empty()) viewer->sendText(displaysText());
  if (pictureMode_) sendUpdate(viewers_.back());
  // While copies are the newest rects, a joiner can be shown the picture only by a whole one.
  if (pictureMode_ && store_.takeRefreshWish()) captureLine({{"action", "refresh"}});
  if (latestFrame_ && !pictureMode_) viewer->sendFrame(latestFrame_);
  broadcastText(nlohmann::json{{"type", "viewers"}, {"count", viewers_.size()}}.dump());
  lines_.emit("[agent] viewer joined (" + std::to_string(viewers_.size()) + " watching)");
  if (reportsViewers_) reportViewers(viewer->place());
  if (viewers_.size() == 1) requestCapture(true);
}

void ViewerHub::leave(const ViewerPeer* viewer) {
  const auto before = viewers_.size();
  std::erase_if(viewers_, [this, viewer](const Watching& w) {
    const bool gone = w.peer.expired() || w.raw == viewer;
    if (gone) store_.removeViewer(w.key);
    return gone;
  });
  if (viewers_.size() == before) return;
  lines_.emit("[agent] viewer left (" + std::to_string(viewers_.size()) + " watching)");
  if (reportsViewers_) reportViewers("");
  broadcastText(nlohmann::json{{"type", "viewers"}, {"count", viewers_.size()}}.dump());
  if (viewers_.empty()) requestCapture(false);
}

void ViewerHub::hello(const HelloAnswer& answer) {
  reportsViewers_ = std::find(answer.accepted.begin(), answer.accepted.end(), "viewers") != answer.accepted.end();
  clipboardGranted_ = std::find(answer.accepted.begin(), answer.accepted.end(), "clipboard") != answer.accepted.end();
  if (reportsViewers_) reportViewers("");
  choosesDisplay_ = std::find(answer.accepted.begin(), answer.accepted.end(), "displays") != answer.accepted.end();
}

void ViewerHub::displays(const DisplayList& list) {
  displays_ = list;
  broadcastText(displaysText());
}

void ViewerHub::chooseDisplay(const nlohmann::json& message) {
  const auto id = message.find("id");
  if (!choosesDisplay_ || id == message.end() || !id->is_number_unsigned()) return;
  const auto listed = std::find_if(displays_.displays.begin(), displays_.displays.end(),
                                   [&](const DisplayInfo& d) { return d.id == id->get<std::uint64_t>(); });
  if (listed == displays_.displays.end()) return;
  chosenDisplay_ = listed->id;
  if (captureRequested_) captureLine({{"action", "tune"}, {"display", listed->id}});
}

std::string ViewerHub::displaysText() const {
  auto list = nlohmann::json::array();
  for (const auto& d : displays_.displays) {
    list.push_back({{"id", d.id}, {"name", d.name}, {"width", d.width}, {"height", d.height}, {"x", d.x},
                    {"y", d.y}, {"main", d.main}});
  }
  return nlohmann::json{{"type", "displays"}, {"current", displays_.current}, {"displays", list}}.dump(
      -1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void ViewerHub::clipboard(const std::string& text) {
  if (!clipboardGranted_) return;
  const auto messages = std::make_shared<const std::vector<std::string>>(clipboardMessages(text));
  for (const auto& viewer : liveViewers()) viewer->sendSeries(messages);
}

void ViewerHub::endAll() {
  lines_.emit("[agent] every viewer's session ended by the host");
  for (const auto& viewer : liveViewers()) viewer->end("ended by the host");
}

void ViewerHub::reportViewers(const std::string& joined) {
  nlohmann::json report = {{"count", viewers_.size()}};
  if (!joined.empty()) report["joined"] = joined;
  lines_.emit(std::string(kViewersMarker) + report.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
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
  if (pictureMode_) {
    // The application went back to frames (another one, or it restarted without the picture).
    pictureMode_ = false;
    store_.reset(0);
  }
  // Frames that arrive after the last viewer left are not kept: a later viewer must not be shown a
  // picture from before its time.
  if (!captureRequested_) return;
  latestFrame_ = std::make_shared<const std::string>(encodeFrameForViewer(frame));
  for (const auto& viewer : liveViewers()) viewer->sendFrame(latestFrame_);
}

void ViewerHub::picture(const PictureAccepted& accepted) {
  if (!captureRequested_) return;
  frameSinceRequest_ = true;
  // A repeated answer on the same grid keeps the picture; the next whole one replaces it anyway.
  if (!pictureMode_ || !store_.hasPicture() || accepted.tile != pictureTile_) store_.reset(accepted.tile);
  pictureTile_ = accepted.tile;
  pictureMode_ = true;
  latestFrame_.reset();
}

void ViewerHub::update(UpdateMessage update) {
  if (!captureRequested_ || !pictureMode_) return;
  frameSinceRequest_ = true;
  space_ = {update.inputWidth, update.inputHeight};
  store_.apply(std::move(update));
  if (store_.takeRefreshWish()) captureLine({{"action", "refresh"}});
  for (auto& watching : viewers_) sendUpdate(watching);
  tune();
}

void ViewerHub::ack(const ViewerPeer* viewer, const nlohmann::json& message) {
  const auto seq = message.find("seq");
  auto* w = watching(viewer);
  if (!w || seq == message.end() || !seq->is_number_unsigned() || !store_.acknowledge(w->key, seq->get<std::uint64_t>())) {
    return;
  }
  const auto took = std::chrono::duration<double, std::milli>(Clock::now() - w->sentAt).count();
  w->rttMs = static_cast<int>(took + 0.5);
  w->smoothedMs = w->smoothedMs == 0 ? took : w->smoothedMs + kSmoothing * (took - w->smoothedMs);
  if (took > 0) {
    const auto rate = static_cast<double>(w->sentBytes) * 1000.0 / took;
    w->bytesPerSecond = w->bytesPerSecond == 0 ? rate : w->bytesPerSecond + kSmoothing * (rate - w->bytesPerSecond);
  }
  sendUpdate(*w);
  if (store_.takeRefreshWish()) captureLine({{"action", "refresh"}});
  tune();
}

ViewerHub::Watching* ViewerHub::watching(const ViewerPeer* viewer) {
  for (auto& w : viewers_) {
    if (w.raw == viewer && !w.peer.expired()) return &w;
  }
  return nullptr;
}

void ViewerHub::sendUpdate(Watching& watching) {
  auto peer = watching.peer.lock();
  if (!peer || !pictureMode_) return;
  const auto update = store_.compose(watching.key);
  if (!update) return;
  auto message = std::make_shared<const std::string>(encodeUpdateForViewer(*update, watching.rttMs));
  watching.sentAt = Clock::now();
  watching.sentBytes = message->size();
  // One update in flight: the viewer's single frame slot is never overwritten while it waits.
  peer->sendFrame(std::move(message));
}

// The slowest viewer sets the quality for all: the picture is encoded once.
void ViewerHub::tune() {
  if (!pictureMode_) return;
  const auto now = Clock::now();
  double slowest = 0;
  bool measured = false;
  for (const auto& w : viewers_) {
    if (!w.rttMs) continue;
    const auto waiting = std::chrono::duration<double, std::milli>(now - w.sentAt).count();
    const bool inFlight = store_.inFlight(w.key);
    if (inFlight && now - w.sentAt > kStalledViewer) continue;
    slowest = std::max({slowest, w.smoothedMs, inFlight ? waiting : 0.0});
    measured = true;
  }
  if (!measured) return;
  if (const auto quality = tuner_.observe(std::chrono::milliseconds(static_cast<std::int64_t>(slowest)), now)) {
    captureLine({{"action", "tune"}, {"quality", *quality}});
  }
}

void ViewerHub::captureLine(const nlohmann::json& action) {
  lines_.emit(std::string(kCaptureMarker) + action.dump());
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

std::string ViewerHub::startLine() const {
  // Written by hand so the plain start stays byte for byte what an application without the picture knows.
  const std::string start =
      config_.askPicture ? R"({"action":"start","picture":{"version":1,"fps":30,"maxSide":0,"cursor":true,"copy":true}})"
                         : R"({"action":"start"})";
  if (!choosesDisplay_ || !chosenDisplay_) return std::string(kCaptureMarker) + start;
  // Every start names the choice: one without it is a start on the main display.
  auto chosen = nlohmann::json::parse(start);
  chosen["display"] = *chosenDisplay_;
  return std::string(kCaptureMarker) + chosen.dump();
}

void ViewerHub::requestCapture(bool start) {
  captureRequested_ = start;
  frameSinceRequest_ = false;
  lines_.emit(start ? startLine() : std::string(kCaptureMarker) + R"({"action":"stop"})");
  if (start) {
    armCaptureRetry();
  } else {
    captureRetry_.cancel();
    latestFrame_.reset();
    // A later viewer must not be shown a picture from before its time.
    pictureMode_ = false;
    store_.reset(0);
    tuner_.reset();
  }
}

void ViewerHub::armCaptureRetry() {
  captureRetry_.expires_after(kCaptureRetry);
  captureRetry_.async_wait([this](const boost::system::error_code& error) {
    if (error || !captureRequested_) return;
    if (!frameSinceRequest_) lines_.emit(startLine());
    frameSinceRequest_ = false;
    armCaptureRetry();
  });
}

void ViewerHub::broadcastText(const std::string& text) {
  for (const auto& viewer : liveViewers()) viewer->sendText(text);
}

}  // namespace qova::agent
