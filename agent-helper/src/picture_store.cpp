#include "picture_store.h"

#include <algorithm>

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
  heldBytes_ = wholeBytes_ = 0;
  refreshAsked_ = false;
  cursor_.reset();
  shape_.reset();
  for (auto& [id, viewer] : viewers_) {
    viewer.unseen.clear();
    viewer.cursorUnseen = viewer.shapeUnseen = false;
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
  heldBytes_ += rect->bytes.size();
  auto& held = held_[rect->seq];
  held.rect = rect;
  forTiles(rect->place, [&](std::size_t index) {
    if (const auto& old = newest_[index]) {
      const auto it = held_.find(old->seq);
      if (--it->second.tiles == 0) {
        heldBytes_ -= it->second.rect->bytes.size();
        held_.erase(it);
      }
    }
    newest_[index] = rect;
    ++held.tiles;
    for (auto& [id, viewer] : viewers_) viewer.unseen[index] = true;
  });
  if (held.tiles == 0) {  // cannot happen for a rect inside the picture, but never hold it for nothing
    heldBytes_ -= rect->bytes.size();
    held_.erase(rect->seq);
  }
}

bool PictureStore::takeRefreshWish() {
  if (refreshAsked_) return false;
  const auto cap = std::min(kMaxHeldBytes, std::max<std::size_t>(wholeBytes_, 1) * kHeldPerWholePicture);
  if (hasPicture() && heldBytes_ <= cap) return false;
  refreshAsked_ = true;
  return true;
}

void PictureStore::addViewer(std::uint64_t id) {
  auto& viewer = viewers_[id];
  viewer.unseen.assign(newest_.size(), true);
  viewer.cursorUnseen = cursor_.has_value();
  viewer.shapeUnseen = shape_ != nullptr;
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

// What a viewer is sent: for the newest rect of each unseen tile, that rect and every rect that paints
// over it. Painted in order of seq, no rect can leave a tile older than the viewer had it. Roots are
// taken newest first up to the size limit; what is left stays unseen for the next update.
std::optional<ComposedUpdate> PictureStore::compose(std::uint64_t id) {
  const auto it = viewers_.find(id);
  if (it == viewers_.end() || it->second.inFlight) return std::nullopt;
  auto& viewer = it->second;
  std::map<std::uint64_t, std::shared_ptr<const StoredRect>> roots;
  for (std::size_t index = 0; index < newest_.size(); ++index) {
    if (viewer.unseen[index] && newest_[index]) roots.emplace(newest_[index]->seq, newest_[index]);
  }
  if (roots.empty() && !viewer.cursorUnseen && !viewer.shapeUnseen) return std::nullopt;
  std::map<std::uint64_t, std::shared_ptr<const StoredRect>> taken;
  std::size_t bytes = 0;
  for (auto root = roots.rbegin(); root != roots.rend(); ++root) {
    std::vector<std::shared_ptr<const StoredRect>> added;
    closeOver(root->second, taken, added);
    std::size_t more = 0;
    for (const auto& rect : added) more += rect->bytes.size();
    if (bytes > 0 && bytes + more > maxUpdateBytes_) {
      for (const auto& rect : added) taken.erase(rect->seq);
      break;
    }
    bytes += more;
  }
  ComposedUpdate update;
  for (auto& entry : taken) {
    const auto& rect = entry.second;
    update.rects.push_back(rect);
    update.timestamp = std::max(update.timestamp, rect->timestamp);
    forTiles(rect->place, [&](std::size_t index) {
      if (newest_[index] == rect) viewer.unseen[index] = false;
    });
  }
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
