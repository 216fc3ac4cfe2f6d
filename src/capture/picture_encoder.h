#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "capture/picture_copy.h"
#include "capture/tile_diff.h"
#include "capture/tile_rects.h"
#include "capture/update_message.h"
#include "platform/imaging.h"
#include "platform/screen_capture.h"

namespace qova {

// What one update is made with besides the picture.
struct UpdateSettings {
  int64_t inputWidth = 1;  // of the captured display, unscaled
  int64_t inputHeight = 1;
  double photoQuality = 0.65;  // of changing areas that are sent lossy
  bool reportsCursor = false;  // the pointer travels on its own, not in the picture
  bool copies = false;         // the agent can move part of its picture (a scroll) instead of receiving it
};

// One update of the picture, ready to be written, and what the agent holds once it has been.
struct PictureUpdate {
  std::string headerLine;
  std::vector<uint8_t> payload;
  UpdateHeader header;

 private:
  friend class PictureEncoder;
  struct TileState {
    bool lossy = false;
    std::chrono::steady_clock::time_point sentAt;
  };
  PixelBuffer picture;
  std::optional<PixelBuffer> base;  // under the rects, when the rest of `picture` was not compared
  std::vector<TileState> tiles;
  std::optional<UpdateCursor> cursor;
  std::optional<uint64_t> shapeSerial;
};

// The picture last sent to the agent and the updates that bring it to a new one: only tiles that
// changed are encoded, lossless where they have few colours, else as JPEG at the photo quality; a
// lossy tile that stays still is sent again at full quality, so a still screen ends sharp and then
// costs nothing. One per capture run, used on the stream output queue only.
class PictureEncoder {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;
  static constexpr std::chrono::milliseconds kStillBeforeRefining{300};

  explicit PictureEncoder(ImageContext& images);

  // The update from the picture last sent to `picture` (null: to the same one again, which only
  // refinement, the pointer or a whole picture asked for can need) at `now`. Nullopt when nothing
  // is to be sent or a file could not be encoded; nothing counts as sent until sent() is called.
  // `damagedTiles` (one flag per tile), when known, holds every tile where `picture` may differ from
  // the picture last sent: only those are compared.
  std::optional<PictureUpdate> makeUpdate(const PixelBuffer* picture, const std::optional<CursorState>& pointer,
                                          const UpdateSettings& settings, TimePoint now,
                                          const std::vector<uint8_t>* damagedTiles = nullptr);
  // `update` was handed to the write: the agent will hold what it brings.
  void sent(PictureUpdate update);
  // The next update covers the whole picture.
  void requireFull() { fullOwed_ = true; }
  // Whether an update without a new picture would carry anything at `now`. Cheap: asked for every
  // sample in which nothing changed.
  bool owesUpdate(const std::optional<CursorState>& pointer, const UpdateSettings& settings, TimePoint now) const;
  // When the earliest lossy tile is due for refinement; nullopt when none is lossy.
  std::optional<TimePoint> refinementDue() const;

 private:
  std::optional<UpdateCursor> cursorInPicture(const CursorState& pointer, const UpdateSettings& settings,
                                              const PixelBuffer& picture) const;
  static void moveTileStates(const PictureCopy& copy, TileGrid grid, TimePoint now,
                             std::vector<PictureUpdate::TileState>& tiles);
  static TileRect coverScattered(const std::vector<uint8_t>& classes, const TileGrid& grid, bool live,
                                 PictureUpdate& update, TimePoint now);
  bool encodeRects(const PixelBuffer& picture, const std::vector<TileRect>& rects, const UpdateSettings& settings,
                   PictureUpdate& update) const;
  void addPointer(const std::optional<CursorState>& pointer, const UpdateSettings& settings,
                  PictureUpdate& update) const;
  PixelBuffer heldAfter(const PixelBuffer& base, const PixelBuffer& picture, const std::vector<UpdateRect>& rects);

  ImageContext& images_;
  bool fullOwed_ = true;
  std::optional<PixelBuffer> picture_;  // as the agent holds it, at the source's pixels
  std::shared_ptr<const void> ownStorage_;  // a picture only the encoder writes, once it holds one
  uint8_t* ownData_ = nullptr;
  std::vector<PictureUpdate::TileState> tiles_;
  std::optional<UpdateCursor> cursor_;
  std::optional<uint64_t> shapeSerial_;
  std::optional<TimePoint> earliestLossy_;
};

}  // namespace qova
