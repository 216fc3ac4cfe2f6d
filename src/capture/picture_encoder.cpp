#include "capture/picture_encoder.h"

#include <algorithm>
#include <cstring>

#include "capture/frame_message.h"
#include "capture/picture_copy.h"
#include "capture/tile_classifier.h"
#include "capture/tile_diff.h"
#include "capture/tile_rects.h"

namespace qova {

namespace {

// Tile classes, as mergeTiles joins them.
enum : uint8_t { kUnchanged = 0, kFewColours = 1, kPhoto = 2, kRefined = 3, kChanged = 4, kMoving = 5 };

// Still lossy areas are sent again at this quality, with colour at full resolution: 45 dB or more
// also on a photograph with fine grain (0.95 left that at 41.5 dB; bench/picture_link.sh).
constexpr double kRefinedQuality = 0.97;

constexpr int kMaxShapeSide = 256;

// A tile that changes again this soon belongs to something moving (a scroll, a drag, a video): it
// goes lossy, far smaller and quicker than lossless, and is made exact once it stops. Typing is told
// apart by its extent: only a change of this many tiles or more counts as moving.
constexpr auto kMovingWithin = std::chrono::milliseconds(250);
constexpr long kMovingTiles = 48;
// What moves goes at half the resolution each way: a quarter of the pixels to encode, send and
// decode, so a video or a dragged window keeps its pace; it is refined at full resolution once still.
// Below this side a rectangle is too small to gain from it.
constexpr int kHalvedFromSide = 64;

// The agent reads an update's header up to 256 KiB: about 8,000 rectangles. A change scattered
// wider than this many goes as one rectangle around all of it.
constexpr size_t kMaxRects = 4096;

std::vector<uint8_t> tilesOf(const PictureCopy& copy, TileGrid grid) {
  return tilesTouched({{copy.x, copy.y, copy.width, copy.height}}, grid);
}

PixelBuffer areaOf(const PixelBuffer& picture, int x, int y, int width, int height) {
  PixelBuffer area = picture;
  area.width = width;
  area.height = height;
  area.data = picture.data + static_cast<size_t>(y) * picture.bytesPerRow + static_cast<size_t>(x) * 4;
  return area;
}

}  // namespace

PictureEncoder::PictureEncoder(ImageContext& images) : images_(images) {}

std::optional<PictureUpdate> PictureEncoder::makeUpdate(const PixelBuffer* picture,
                                                        const std::optional<CursorState>& pointer,
                                                        const UpdateSettings& settings, TimePoint now,
                                                        const std::vector<uint8_t>* damagedTiles) {
  const PixelBuffer* next = picture ? picture : (picture_ ? &*picture_ : nullptr);
  if (!next || !next->isWellFormed()) return std::nullopt;
  const TileGrid grid{next->width, next->height};
  const bool full = fullOwed_ || !picture_ || picture_->width != next->width || picture_->height != next->height;
  std::vector<uint8_t> classes;
  std::optional<PictureCopy> copy;
  std::optional<PixelBuffer> base;  // what the agent holds under the rects, where only part was compared
  if (full) {
    classes.assign(static_cast<size_t>(grid.count()), kChanged);
  } else if (next->data == picture_->data) {
    classes.assign(static_cast<size_t>(grid.count()), kUnchanged);
  } else {
    const bool damageFits = damagedTiles && damagedTiles->size() == static_cast<size_t>(grid.count());
    classes = changedTiles(*picture_, *next, damageFits ? damagedTiles : nullptr);
    if (settings.copies) copy = findVerticalMove(*picture_, *next, classes);
    if (copy) {
      // What the agent will hold once it made the move; only what that leaves different is sent.
      std::vector<uint8_t> candidates = damageFits ? *damagedTiles : std::vector<uint8_t>(classes.size(), 1);
      const auto moved = tilesOf(*copy, grid);
      for (size_t index = 0; index < moved.size(); ++index) candidates[index] |= moved[index];
      base = withCopy(*picture_, *copy);
      classes = changedTiles(*base, *next, &candidates);
    }
    // Outside the damage the picture may already show a change drawn after the damage was fetched,
    // whose damage comes with a later sample: the agent does not hold that yet, so neither may we.
    const bool partly = damageFits && std::find(damagedTiles->begin(), damagedTiles->end(), 0) != damagedTiles->end();
    if (partly && !base) base = *picture_;
    if (!partly) base.reset();
  }

  PictureUpdate update;
  update.picture = *next;
  update.base = std::move(base);
  update.tiles = full ? std::vector<PictureUpdate::TileState>(classes.size()) : tiles_;
  if (copy) moveTileStates(*copy, grid, now, update.tiles);
  update.cursor = cursor_;
  update.shapeSerial = shapeSerial_;
  const bool large = !full && std::count_if(classes.begin(), classes.end(), [](uint8_t c) { return c != kUnchanged; }) >=
                                  kMovingTiles;
  bool live = false;  // anything changed, beside refinements
  for (int i = 0; i < grid.count(); ++i) {
    auto& tile = update.tiles[static_cast<size_t>(i)];
    uint8_t& kind = classes[static_cast<size_t>(i)];
    const int x = i % grid.columns() * kTileSide, y = i / grid.columns() * kTileSide;
    const auto fewColours = [&] {
      return hasFewColours(*next, x, y, std::min(kTileSide, grid.width - x), std::min(kTileSide, grid.height - y));
    };
    if (kind != kUnchanged) {
      live = true;
      const bool moving = large && tile.sentAt + kMovingWithin > now;
      const bool few = !moving && fewColours();
      kind = few ? kFewColours : moving ? kMoving : kPhoto;
      tile = {!few, now};
    } else if (tile.lossy && tile.sentAt + kStillBeforeRefining <= now) {
      // Text that stopped moving comes back exact; a photograph at full quality.
      kind = fewColours() ? kFewColours : kRefined;
      tile.lossy = false;
    }
  }
  update.header.full = full;
  if (copy) {
    update.header.rects.push_back(
        {copy->x, copy->y, copy->width, copy->height, RectKind::copy, 0, copy->x, copy->sourceY()});
  }
  auto rects = mergeTiles(classes, grid.columns(), grid.rows());
  if (rects.size() > kMaxRects) rects = {coverScattered(classes, grid, live, update, now)};
  if (!encodeRects(*next, rects, settings, update)) return std::nullopt;
  addPointer(pointer, settings, update);
  UpdateHeader& header = update.header;
  if (!full && header.rects.empty() && !header.cursor && !header.shape) return std::nullopt;
  header.width = next->width;
  header.height = next->height;
  header.inputWidth = settings.inputWidth;
  header.inputHeight = settings.inputHeight;
  header.timestamp = wallClockMilliseconds();
  header.bytes = static_cast<int64_t>(update.payload.size());
  update.headerLine = updateHeaderLine(header);
  return update;
}

// Moved pixels keep what they were: a tile made of lossy ones is still to be refined. It is moving
// now, so that is once it stood still a while, not while the scroll goes on.
void PictureEncoder::moveTileStates(const PictureCopy& copy, TileGrid grid, TimePoint now,
                                    std::vector<PictureUpdate::TileState>& tiles) {
  const auto before = tiles;
  const auto moved = tilesOf(copy, grid);
  for (size_t index = 0; index < moved.size(); ++index) {
    if (!moved[index]) continue;
    const int top = static_cast<int>(index) / grid.columns() * kTileSide + copy.shift;
    const int bottom = std::min(top + kTileSide, grid.height + copy.shift) - 1;
    tiles[index] = {false, now};
    for (int row = top / kTileSide; row <= bottom / kTileSide; ++row) {
      tiles[index].lossy |= before[static_cast<size_t>(row * grid.columns()) + index % grid.columns()].lossy;
    }
  }
}

// One rectangle around every tile to send: a photograph of a live change (its tiles lossy, refined
// once still), else a refinement at near-lossless quality, so refining never scatters again.
TileRect PictureEncoder::coverScattered(const std::vector<uint8_t>& classes, const TileGrid& grid, bool live,
                                        PictureUpdate& update, TimePoint now) {
  int left = grid.columns(), top = grid.rows(), right = 0, bottom = 0;
  for (int i = 0; i < grid.count(); ++i) {
    if (classes[static_cast<size_t>(i)] == kUnchanged) continue;
    left = std::min(left, i % grid.columns()), right = std::max(right, i % grid.columns() + 1);
    top = std::min(top, i / grid.columns()), bottom = std::max(bottom, i / grid.columns() + 1);
  }
  for (int row = top; row < bottom; ++row) {
    for (int column = left; column < right; ++column) {
      update.tiles[static_cast<size_t>(row * grid.columns() + column)] = {live, now};
    }
  }
  return {left, top, right - left, bottom - top, live ? uint8_t{kPhoto} : uint8_t{kRefined}};
}

bool PictureEncoder::encodeRects(const PixelBuffer& picture, const std::vector<TileRect>& rects,
                                 const UpdateSettings& settings, PictureUpdate& update) const {
  const TileGrid grid{picture.width, picture.height};
  for (const TileRect& rect : rects) {
    const int x = rect.column * kTileSide, y = rect.row * kTileSide;
    const int width = std::min(rect.columns * kTileSide, grid.width - x);
    const int height = std::min(rect.rows * kTileSide, grid.height - y);
    const PixelBuffer area = areaOf(picture, x, y, width, height);
    std::optional<std::vector<uint8_t>> file;
    if (rect.kind == kFewColours) file = images_.encodePng(area);
    if (rect.kind == kPhoto || (rect.kind == kMoving && std::min(width, height) < kHalvedFromSide)) {
      file = images_.encodeJpeg(area, settings.photoQuality);
    } else if (rect.kind == kMoving) {
      const auto halved = images_.drawScaled(area, (width + 1) / 2, (height + 1) / 2);
      if (halved) file = images_.encodeJpeg(*halved, settings.photoQuality);
    }
    if (rect.kind == kRefined) file = images_.encodeJpegFullColour(area, kRefinedQuality);
    if (!file) return false;
    const RectKind kind = rect.kind == kFewColours ? RectKind::png : RectKind::jpeg;
    update.header.rects.push_back({x, y, width, height, kind, static_cast<int64_t>(file->size())});
    update.payload.insert(update.payload.end(), file->begin(), file->end());
  }
  return true;
}

std::optional<UpdateCursor> PictureEncoder::cursorInPicture(const CursorState& pointer, const UpdateSettings& settings,
                                                            const PixelBuffer& picture) const {
  // Truncated as the picture's size was, so that a hot spot at the display's edge stays inside.
  return UpdateCursor{pointer.x * picture.width / std::max<int64_t>(settings.inputWidth, 1),
                      pointer.y * picture.height / std::max<int64_t>(settings.inputHeight, 1), pointer.visible};
}

void PictureEncoder::addPointer(const std::optional<CursorState>& pointer, const UpdateSettings& settings,
                                PictureUpdate& update) const {
  if (!settings.reportsCursor || !pointer) return;
  const bool full = update.header.full;
  const auto cursor = cursorInPicture(*pointer, settings, update.picture);
  if (full || cursor != cursor_) update.header.cursor = cursor;
  update.cursor = cursor;
  const auto& image = pointer->image;
  if (!image || (!full && shapeSerial_ == image->serial)) return;
  update.shapeSerial = image->serial;  // a shape that cannot be sent is not tried again
  const bool sendable = image->width >= 1 && image->width <= kMaxShapeSide && image->height >= 1 &&
                        image->height <= kMaxShapeSide &&
                        image->rgba.size() == static_cast<size_t>(image->width) * image->height * 4;
  if (!sendable) return;
  update.header.shape = UpdateShape{image->serial, image->width, image->height,
                                    image->hotX,   image->hotY,  static_cast<int64_t>(image->rgba.size())};
  update.payload.insert(update.payload.end(), image->rgba.begin(), image->rgba.end());
}

void PictureEncoder::sent(PictureUpdate update) {
  if (update.header.full) fullOwed_ = false;
  picture_ = update.base ? heldAfter(*update.base, update.picture, update.header.rects) : std::move(update.picture);
  tiles_ = std::move(update.tiles);
  cursor_ = update.cursor;
  shapeSerial_ = update.shapeSerial;
  earliestLossy_.reset();
  for (const auto& tile : tiles_) {
    if (tile.lossy && (!earliestLossy_ || tile.sentAt < *earliestLossy_)) earliestLossy_ = tile.sentAt;
  }
}

// `base` with the rects of an update taken from `picture`, in a buffer of the encoder's own that the
// next such update writes into again. A base made for a copy is fresh, and becomes that buffer.
PixelBuffer PictureEncoder::heldAfter(const PixelBuffer& base, const PixelBuffer& picture,
                                      const std::vector<UpdateRect>& rects) {
  const size_t rowBytes = static_cast<size_t>(base.width) * 4;
  const auto row = [](const PixelBuffer& p, int y) { return p.data + static_cast<size_t>(y) * p.bytesPerRow; };
  const bool fresh = picture_ && base.data != picture_->data && base.bytesPerRow == static_cast<int>(rowBytes);
  if (fresh) {
    ownStorage_ = base.storage;
    ownData_ = const_cast<uint8_t*>(base.data);
  } else if (base.data != ownData_) {
    auto bytes = std::make_shared<std::vector<uint8_t>>(rowBytes * static_cast<size_t>(base.height));
    for (int y = 0; y < base.height; ++y) std::memcpy(bytes->data() + y * rowBytes, row(base, y), rowBytes);
    ownData_ = bytes->data();
    ownStorage_ = std::move(bytes);
  }
  for (const UpdateRect& rect : rects) {
    if (rect.kind == RectKind::copy) continue;
    for (int y = rect.y; y < rect.y + rect.height; ++y) {
      std::memcpy(ownData_ + y * rowBytes + static_cast<size_t>(rect.x) * 4, row(picture, y) + rect.x * 4,
                  static_cast<size_t>(rect.width) * 4);
    }
  }
  return {base.width, base.height, static_cast<int>(rowBytes), ownData_, ownStorage_};
}

bool PictureEncoder::owesUpdate(const std::optional<CursorState>& pointer, const UpdateSettings& settings,
                                TimePoint now) const {
  if (!picture_) return false;
  if (fullOwed_) return true;
  if (const auto due = refinementDue(); due && *due <= now) return true;
  if (!settings.reportsCursor || !pointer) return false;
  if (cursorInPicture(*pointer, settings, *picture_) != cursor_) return true;
  return pointer->image && pointer->image->serial != shapeSerial_;
}

std::optional<PictureEncoder::TimePoint> PictureEncoder::refinementDue() const {
  if (!earliestLossy_) return std::nullopt;
  return *earliestLossy_ + kStillBeforeRefining;
}

}  // namespace qova
