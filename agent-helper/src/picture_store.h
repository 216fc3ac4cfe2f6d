#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "input_stream_parser.h"

namespace qova::agent {

// One rectangle as the application sent it, shared by every viewer that still has to see it.
struct StoredRect {
  UpdateRect place;  // length = bytes.size()
  std::uint64_t seq = 0;
  std::int64_t timestamp = 0;
  std::string bytes;
};

// What one viewer is sent next: rects in the order they must be painted, and the pointer if it changed.
struct ComposedUpdate {
  std::uint64_t seq = 0;
  int width = 0, height = 0, inputWidth = 0, inputHeight = 0;
  std::int64_t timestamp = 0;
  std::vector<std::shared_ptr<const StoredRect>> rects;
  std::optional<CursorPosition> cursor;
  std::shared_ptr<const CursorShape> shape;
  std::size_t payloadBytes() const;
};

// The picture as the newest rectangle per tile, and per viewer what it has not seen yet. Each viewer
// has at most one update in flight; the next one carries everything that changed meanwhile, so a
// slow viewer skips intermediate states instead of queueing them, and memory does not grow with it.
// A copy moves what a viewer holds, so it is right only for a viewer that holds the picture as it
// stood before it: one that had seen everything gets it as any rect; one that lagged gets every rect
// from there on in order (a replay, bounded), and one that cannot be brought there (a joiner, a
// replay grown past a whole picture) waits for a picture of real pixels. Pure logic, one thread.
class PictureStore {
 public:
  // An update larger than this is split (a lagging relay keeps only one message per viewer, and
  // caps its size); one rect alone always goes.
  static constexpr std::size_t kMaxUpdateBytes = 4u << 20;
  static constexpr std::size_t kMaxHeldBytes = 48u << 20;
  static constexpr std::size_t kHeldPerWholePicture = 4;
  // A scroll sends a few rects an update, 30 updates a second: a viewer a second behind still replays.
  static constexpr std::size_t kMaxReplayRects = 256;

  explicit PictureStore(std::size_t maxUpdateBytes = kMaxUpdateBytes) : maxUpdateBytes_(maxUpdateBytes) {}

  // A new grid: forgets everything held, and every viewer waits for a whole picture.
  void reset(int tile);
  // False when the update cannot be placed (no whole picture yet, or a different size): it is
  // dropped and a whole picture must be asked for.
  bool apply(UpdateMessage update);
  // True once when the held bytes outgrew what a whole picture needs by far, or a viewer needs real
  // pixels where copies are the newest; asked again only after the next whole picture came.
  bool takeRefreshWish();

  void addViewer(std::uint64_t viewer);
  void removeViewer(std::uint64_t viewer);
  // The next update for `viewer`, unless one is in flight or it has seen everything.
  std::optional<ComposedUpdate> compose(std::uint64_t viewer);
  // True when `seq` is the viewer's update in flight, which then is done.
  bool acknowledge(std::uint64_t viewer, std::uint64_t seq);

  bool inFlight(std::uint64_t viewer) const {
    const auto it = viewers_.find(viewer);
    return it != viewers_.end() && it->second.inFlight.has_value();
  }
  std::size_t heldBytes() const { return heldBytes_; }
  bool hasPicture() const { return width_ > 0; }

 private:
  struct Viewer {
    std::vector<bool> unseen;
    bool cursorUnseen = false;
    bool shapeUnseen = false;
    std::optional<std::uint64_t> inFlight;
    std::uint64_t nextSeq = 1;
    // Set while it lags behind a copy: every rect it is owed, in paint order.
    std::optional<std::vector<std::shared_ptr<const StoredRect>>> replay;
    std::size_t replayBytes = 0;
    bool needsWhole = false;  // nothing it could be sent would make its picture right
  };
  struct Held {
    std::shared_ptr<const StoredRect> rect;
    std::size_t tiles = 0;  // tiles it is the newest of
  };

  void startPicture(const UpdateMessage& update);
  void place(std::shared_ptr<const StoredRect> rect);
  template <class F>
  void forTiles(const UpdateRect& r, F&& f) const;
  bool lags(const Viewer& viewer) const;
  void addToReplay(Viewer& viewer, const std::shared_ptr<const StoredRect>& rect);
  std::vector<std::shared_ptr<const StoredRect>> owed(const Viewer& viewer, std::size_t maxBytes) const;
  std::vector<std::shared_ptr<const StoredRect>> takeReplay(Viewer& viewer);
  void closeOver(const std::shared_ptr<const StoredRect>& root, std::map<std::uint64_t, std::shared_ptr<const StoredRect>>& taken,
                 std::vector<std::shared_ptr<const StoredRect>>& added) const;

  std::size_t maxUpdateBytes_;
  int tile_ = 32;
  int width_ = 0, height_ = 0, inputWidth_ = 0, inputHeight_ = 0;
  int columns_ = 0, rows_ = 0;
  std::vector<std::shared_ptr<const StoredRect>> newest_;  // per tile, row by row
  std::map<std::uint64_t, Held> held_;                      // by seq
  std::size_t heldBytes_ = 0;
  std::size_t wholeBytes_ = 0;
  std::size_t copyTiles_ = 0;  // tiles whose newest rect is a copy
  bool refreshAsked_ = false;
  std::uint64_t nextRectSeq_ = 1;
  std::optional<CursorPosition> cursor_;
  std::int64_t cursorTimestamp_ = 0;
  std::shared_ptr<const CursorShape> shape_;
  std::map<std::uint64_t, Viewer> viewers_;
};

// The binary WebSocket message of an update: framed as a frame (4-byte big-endian header length,
// header JSON, payload); "rects" in the header tells it from one. `rttMs` is the viewer's last
// measured round trip, when there is one.
std::string encodeUpdateForViewer(const ComposedUpdate& update, std::optional<int> rttMs);

}  // namespace qova::agent
