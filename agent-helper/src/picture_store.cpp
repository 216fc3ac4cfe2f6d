#include "picture_store.h"

#include <algorithm>
#include <limits>

#include <nlohmann/json.hpp>

namespace qova::agent {

std::size_t ComposedUpdate::payloadBytes() const {
  std::size_t total = shape ? shape->rgba.size() : 0;
  for (const auto& rect : rects) total += rect->bytes.size();
  return total;
}

void PictureStore::reset(int tile) {
  tile_ = std::max(1, tile);
  width_ = height_ = columns_ = rows_ = 0;
  newest_.clear();
  held_.clear();
  heldBytes_ = wholeBytes_ = copyTiles_ = 0;
  refreshAsked_ = false;
  cursor_.reset();
  shape_.reset();
  for (auto& [id, viewer] : viewers_) {
    viewer.unseen.clear();
    viewer.cursorUnseen = viewer.shapeUnseen = false;
    viewer.replay.reset();
    viewer.replayBytes = 0;
    viewer.needsWhole = false;
  }
}

template <class F>
void PictureStore::forTiles(const UpdateRect& r, F&& f) const {
  const int right = std::min(columns_, (r.x + r.w + tile_ - 1) / tile_);
  const int bottom = std::min(rows_, (r.y + r.h + tile_ - 1) / tile_);
  for (int row = r.y / tile_; row < bottom; ++row) {
    for (int column = r.x / tile_; column < right; ++column) f(static_cast<std::size_t>(row * columns_ + column));
  }
}

void PictureStore::startPicture(const UpdateMessage& update) {
  const auto tile = tile_;
  reset(tile);
  width_ = update.width;
  height_ = update.height;
  columns_ = (width_ + tile_ - 1) / tile_;
  rows_ = (height_ + tile_ - 1) / tile_;
  newest_.assign(static_cast<std::size_t>(columns_) * rows_, nullptr);
  wholeBytes_ = update.payload.size();
  for (auto& [id, viewer] : viewers_) viewer.unseen.assign(newest_.size(), true);
}

bool PictureStore::apply(UpdateMessage update) {
  if (update.full) {
    startPicture(update);
  } else if (update.width != width_ || update.height != height_) {
    return false;
  }
  inputWidth_ = update.inputWidth;
  inputHeight_ = update.inputHeight;
  std::size_t offset = 0;
  for (const auto& place : update.rects) {
    auto rect = std::make_shared<StoredRect>();
    rect->place = place;
    rect->seq = nextRectSeq_++;
    rect->timestamp = update.timestamp;
    rect->bytes = update.payload.substr(offset, place.length);
    offset += place.length;
    this->place(std::move(rect));
  }
  if (update.full || update.cursor) {
    cursor_ = update.cursor;
    cursorTimestamp_ = update.timestamp;
    for (auto& [id, viewer] : viewers_) viewer.cursorUnseen = cursor_.has_value();
  }
  if (update.full || update.shape) {
    shape_ = update.shape ? std::make_shared<const CursorShape>(std::move(*update.shape)) : nullptr;
    for (auto& [id, viewer] : viewers_) viewer.shapeUnseen = shape_ != nullptr;
  }
  return true;
}

void PictureStore::place(std::shared_ptr<const StoredRect> rect) {
  const bool copy = rect->place.kind == kCopyRect;
  for (auto& [id, viewer] : viewers_) {
    if (viewer.needsWhole) continue;
    if (copy && !viewer.replay && lags(viewer)) {
      // From here on only the literal sequence keeps what it holds where the copy expects it.
      viewer.replay = owed(viewer, std::numeric_limits<std::size_t>::max());
      viewer.replayBytes = 0;
      for (const auto& owedRect : *viewer.replay) viewer.replayBytes += owedRect->bytes.size();
    }
    if (viewer.replay) addToReplay(viewer, rect);
  }
  heldBytes_ += rect->bytes.size();
  auto& held = held_[rect->seq];
  held.rect = rect;
  forTiles(rect->place, [&](std::size_t index) {
    if (const auto& old = newest_[index]) {
      copyTiles_ -= old->place.kind == kCopyRect;
      const auto it = held_.find(old->seq);
      if (--it->second.tiles == 0) {
        heldBytes_ -= it->second.rect->bytes.size();
        held_.erase(it);
      }
    }
    newest_[index] = rect;
    copyTiles_ += copy;
    ++held.tiles;
    for (auto& [id, viewer] : viewers_) viewer.unseen[index] = true;
  });
  if (held.tiles == 0) {  // cannot happen for a rect inside the picture, but never hold it for nothing
    heldBytes_ -= rect->bytes.size();
    held_.erase(rect->seq);
  }
}

// Whether it is owed anything it was not sent, which a copy would then be painted after.
bool PictureStore::lags(const Viewer& viewer) const {
  for (std::size_t index = 0; index < newest_.size(); ++index) {
    if (viewer.unseen[index] && newest_[index]) return true;
  }
  return false;
}

void PictureStore::addToReplay(Viewer& viewer, const std::shared_ptr<const StoredRect>& rect) {
  viewer.replay->push_back(rect);
  viewer.replayBytes += rect->bytes.size();
  // Past a whole picture's bytes, real pixels are the cheaper way back.
  if (viewer.replay->size() > kMaxReplayRects || viewer.replayBytes > std::max<std::size_t>(wholeBytes_, 1)) {
    viewer.replay.reset();
    viewer.needsWhole = true;
  }
}

bool PictureStore::takeRefreshWish() {
  if (refreshAsked_) return false;
  // A still picture refined at full quality holds far more than the lossy whole it came as on a slow
  // link; asking again for that whole would only bring the refinement again, and again. Up to its raw
  // pixels' size nothing held is waste worth a whole picture.
  const auto raw = static_cast<std::size_t>(width_) * static_cast<std::size_t>(height_) * 4;
  const auto cap = std::min(kMaxHeldBytes, std::max(wholeBytes_ * kHeldPerWholePicture, raw));
  // Only once it has taken what is in flight: a stalled viewer would otherwise ask again with each
  // whole picture that others are sent meanwhile.
  const bool blind = copyTiles_ > 0 && std::any_of(viewers_.begin(), viewers_.end(), [](const auto& entry) {
                       return entry.second.needsWhole && !entry.second.inFlight;
                     });
  if (hasPicture() && heldBytes_ <= cap && !blind) return false;
  refreshAsked_ = true;
  return true;
}

void PictureStore::addViewer(std::uint64_t id) {
  auto& viewer = viewers_[id];
  viewer.unseen.assign(newest_.size(), true);
  viewer.cursorUnseen = cursor_.has_value();
  viewer.shapeUnseen = shape_ != nullptr;
  viewer.needsWhole = true;  // the rects held are enough while no copy is among them
}

void PictureStore::removeViewer(std::uint64_t id) { viewers_.erase(id); }

// The rects that paint over `root`, and those that paint over them, and so on, less what `taken`
// holds already (it is closed in the same way, so the search stops there).
void PictureStore::closeOver(const std::shared_ptr<const StoredRect>& root,
                             std::map<std::uint64_t, std::shared_ptr<const StoredRect>>& taken,
                             std::vector<std::shared_ptr<const StoredRect>>& added) const {
  if (!taken.emplace(root->seq, root).second) return;
  added.push_back(root);
  for (std::size_t next = added.size() - 1; next < added.size(); ++next) {
    forTiles(added[next]->place, [&](std::size_t index) {
      const auto& newer = newest_[index];
      if (taken.emplace(newer->seq, newer).second) added.push_back(newer);
    });
  }
}

// What a viewer is owed: for the newest rect of each unseen tile, that rect and every rect that
// paints over it. Painted in order of seq, no rect can leave a tile older than the viewer had it. Roots
// are taken newest first up to `maxBytes` (one always); what is left stays unseen for the next update.
std::vector<std::shared_ptr<const StoredRect>> PictureStore::owed(const Viewer& viewer, std::size_t maxBytes) const {
  std::map<std::uint64_t, std::shared_ptr<const StoredRect>> roots;
  for (std::size_t index = 0; index < newest_.size(); ++index) {
    if (viewer.unseen[index] && newest_[index]) roots.emplace(newest_[index]->seq, newest_[index]);
  }
  std::map<std::uint64_t, std::shared_ptr<const StoredRect>> taken;
  std::size_t bytes = 0;
  for (auto root = roots.rbegin(); root != roots.rend(); ++root) {
    std::vector<std::shared_ptr<const StoredRect>> added;
    closeOver(root->second, taken, added);
    std::size_t more = 0;
    for (const auto& rect : added) more += rect->bytes.size();
    if (bytes > 0 && bytes + more > maxBytes) {
      for (const auto& rect : added) taken.erase(rect->seq);
      break;
    }
    bytes += more;
  }
  std::vector<std::shared_ptr<const StoredRect>> rects;
  for (auto& entry : taken) rects.push_back(std::move(entry.second));
  return rects;
}

// The head of a replay, up to the size limit; once it is all sent the viewer holds the newest picture.
std::vector<std::shared_ptr<const StoredRect>> PictureStore::takeReplay(Viewer& viewer) {
  auto& replay = *viewer.replay;
  std::size_t count = 0, bytes = 0;
  while (count < replay.size() && (count == 0 || bytes + replay[count]->bytes.size() <= maxUpdateBytes_)) {
    bytes += replay[count++]->bytes.size();
  }
  std::vector<std::shared_ptr<const StoredRect>> rects(replay.begin(), replay.begin() + static_cast<std::ptrdiff_t>(count));
  replay.erase(replay.begin(), replay.begin() + static_cast<std::ptrdiff_t>(count));
  viewer.replayBytes -= bytes;
  if (replay.empty()) {
    viewer.replay.reset();
    viewer.unseen.assign(newest_.size(), false);
  }
  return rects;
}

std::optional<ComposedUpdate> PictureStore::compose(std::uint64_t id) {
  const auto it = viewers_.find(id);
  if (it == viewers_.end() || it->second.inFlight) return std::nullopt;
  auto& viewer = it->second;
  if (viewer.needsWhole && copyTiles_ == 0) {
    viewer.needsWhole = false;
    viewer.unseen.assign(newest_.size(), true);
  }
  ComposedUpdate update;
  if (viewer.replay) {
    update.rects = takeReplay(viewer);
  } else if (!viewer.needsWhole) {
    update.rects = owed(viewer, maxUpdateBytes_);
    for (const auto& rect : update.rects) {
      forTiles(rect->place, [&](std::size_t index) {
        if (newest_[index] == rect) viewer.unseen[index] = false;
      });
    }
    // A copy left for a later update would be painted after what it was meant to precede.
    for (std::size_t index = 0; index < newest_.size(); ++index) {
      if (viewer.unseen[index] && newest_[index] && newest_[index]->place.kind == kCopyRect) viewer.needsWhole = true;
    }
  }
  if (update.rects.empty() && !viewer.cursorUnseen && !viewer.shapeUnseen) return std::nullopt;
  for (const auto& rect : update.rects) update.timestamp = std::max(update.timestamp, rect->timestamp);
  if (viewer.cursorUnseen) {
    update.cursor = cursor_;
    update.timestamp = std::max(update.timestamp, cursorTimestamp_);
  }
  if (viewer.shapeUnseen) update.shape = shape_;
  viewer.cursorUnseen = viewer.shapeUnseen = false;
  update.width = width_;
  update.height = height_;
  update.inputWidth = inputWidth_;
  update.inputHeight = inputHeight_;
  update.seq = viewer.nextSeq++;
  viewer.inFlight = update.seq;
  return update;
}

bool PictureStore::acknowledge(std::uint64_t id, std::uint64_t seq) {
  const auto it = viewers_.find(id);
  if (it == viewers_.end() || it->second.inFlight != seq) return false;
  it->second.inFlight.reset();
  return true;
}

std::string encodeUpdateForViewer(const ComposedUpdate& update, std::optional<int> rttMs) {
  auto rects = nlohmann::json::array();
  for (const auto& rect : update.rects) {
    const auto& p = rect->place;
    rects.push_back({p.x, p.y, p.w, p.h, p.kind, rect->bytes.size()});
    if (p.kind == kCopyRect) rects.back().push_back(p.sx), rects.back().push_back(p.sy);
  }
  nlohmann::json header{{"seq", update.seq},
                        {"width", update.width},
                        {"height", update.height},
                        {"inputWidth", update.inputWidth},
                        {"inputHeight", update.inputHeight},
                        {"timestamp", update.timestamp},
                        {"rects", std::move(rects)}};
  if (update.cursor) header["cursor"] = {update.cursor->x, update.cursor->y, update.cursor->visible ? 1 : 0};
  if (update.shape) {
    const auto& s = *update.shape;
    header["shape"] = {s.width, s.height, s.hotX, s.hotY, s.rgba.size()};
  }
  if (rttMs) header["rtt"] = *rttMs;
  const auto text = header.dump();
  std::string out;
  out.reserve(4 + text.size() + update.payloadBytes());
  const auto length = static_cast<std::uint32_t>(text.size());
  for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((length >> shift) & 0xFF);
  out += text;
  for (const auto& rect : update.rects) out += rect->bytes;
  if (update.shape) out += update.shape->rgba;
  return out;
}

}  // namespace qova::agent
