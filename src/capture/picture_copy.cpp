#include "capture/picture_copy.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <unordered_map>

#include "capture/tile_diff.h"

namespace qova {

namespace {

// Fewer changed tiles than this cost little to send as they are: typing, a blinking cursor.
constexpr int kMinChangedTiles = 8;
// A move is taken only where this many rows, and most of the changed area's, reappear in one run.
constexpr int kMinRunRows = 64;
// Rows whose content appears once in the old area vote; this many votes make a move worth checking.
constexpr int kMinVotes = 8;

struct Area {
  int left = 0, top = 0, right = 0, bottom = 0;  // pixels, right and bottom exclusive
  int width() const { return right - left; }
  int height() const { return bottom - top; }
};

std::optional<Area> changedArea(const std::vector<uint8_t>& changed, TileGrid grid) {
  int left = grid.columns(), top = grid.rows(), right = 0, bottom = 0, count = 0;
  for (int i = 0; i < grid.count(); ++i) {
    if (!changed[static_cast<size_t>(i)]) continue;
    ++count;
    left = std::min(left, i % grid.columns()), right = std::max(right, i % grid.columns() + 1);
    top = std::min(top, i / grid.columns()), bottom = std::max(bottom, i / grid.columns() + 1);
  }
  if (count < kMinChangedTiles) return std::nullopt;
  return Area{left * kTileSide, top * kTileSide, std::min(right * kTileSide, grid.width),
              std::min(bottom * kTileSide, grid.height)};
}

struct RowWindow {
  size_t offset = 0;  // bytes into a row
  size_t bytes = 0;
  std::string_view of(const PixelBuffer& p, int y) const {
    return {reinterpret_cast<const char*>(p.data) + static_cast<size_t>(y) * p.bytesPerRow + offset, bytes};
  }
};

// The shift most rows of `after` agree on, judged by rows that occur once in `before`.
std::optional<int> votedShift(const PixelBuffer& before, const PixelBuffer& after, const Area& area, RowWindow window) {
  const std::hash<std::string_view> hash;
  std::unordered_map<size_t, int> oldRows;  // content hash -> row, or -1 when it occurs more than once
  oldRows.reserve(static_cast<size_t>(area.height()));
  for (int y = area.top; y < area.bottom; ++y) {
    const auto [it, added] = oldRows.emplace(hash(window.of(before, y)), y);
    if (!added) it->second = -1;
  }
  const int maxShift = area.height() / 2;
  std::vector<int> votes(static_cast<size_t>(maxShift) * 2 + 1, 0);
  for (int y = area.top; y < area.bottom; ++y) {
    const auto found = oldRows.find(hash(window.of(after, y)));
    if (found == oldRows.end() || found->second < 0) continue;
    const int shift = found->second - y;
    if (shift != 0 && std::abs(shift) <= maxShift) ++votes[static_cast<size_t>(shift + maxShift)];
  }
  const auto best = std::max_element(votes.begin(), votes.end());
  if (*best < kMinVotes) return std::nullopt;
  return static_cast<int>(best - votes.begin()) - maxShift;
}

}  // namespace

std::optional<PictureCopy> findVerticalMove(const PixelBuffer& before, const PixelBuffer& after,
                                            const std::vector<uint8_t>& changed) {
  const TileGrid grid{after.width, after.height};
  if (before.width != after.width || before.height != after.height ||
      changed.size() != static_cast<size_t>(grid.count())) {
    return std::nullopt;
  }
  const auto area = changedArea(changed, grid);
  if (!area || area->height() < kMinRunRows) return std::nullopt;
  const RowWindow window{static_cast<size_t>(area->left + area->width() / 4) * 4,
                         static_cast<size_t>(std::max(1, area->width() / 2)) * 4};
  const auto shift = votedShift(before, after, *area, window);
  if (!shift) return std::nullopt;
  // The longest run of rows that the shift explains exactly, over the window.
  int runTop = 0, runBottom = 0;
  const int first = std::max(area->top, area->top - *shift), last = std::min(area->bottom, area->bottom - *shift);
  for (int y = first, start = first; y < last; ++y) {
    if (window.of(after, y) != window.of(before, y + *shift)) {
      start = y + 1;
    } else if (y + 1 - start > runBottom - runTop) {
      runTop = start, runBottom = y + 1;
    }
  }
  if (runBottom - runTop < kMinRunRows || (runBottom - runTop) * 2 < area->height()) return std::nullopt;
  // Whole tiles only, so that each destination tile is one thing: moved, or sent as it is.
  const int top = (runTop + kTileSide - 1) / kTileSide * kTileSide;
  const int bottom = runBottom == after.height ? runBottom : runBottom / kTileSide * kTileSide;
  if (bottom - top < kTileSide) return std::nullopt;
  return PictureCopy{area->left, top, area->width(), bottom - top, *shift};
}

PixelBuffer withCopy(const PixelBuffer& picture, const PictureCopy& copy) {
  const size_t rowBytes = static_cast<size_t>(picture.width) * 4;
  auto bytes = std::make_shared<std::vector<uint8_t>>(rowBytes * static_cast<size_t>(picture.height));
  uint8_t* out = bytes->data();
  for (int y = 0; y < picture.height; ++y) {
    const bool moved = y >= copy.y && y < copy.y + copy.height;
    std::memcpy(out + y * rowBytes, picture.data + static_cast<size_t>(y) * picture.bytesPerRow, rowBytes);
    if (!moved) continue;
    const size_t offset = static_cast<size_t>(copy.x) * 4;
    std::memcpy(out + y * rowBytes + offset,
                picture.data + static_cast<size_t>(y + copy.shift) * picture.bytesPerRow + offset,
                static_cast<size_t>(copy.width) * 4);
  }
  return {picture.width, picture.height, static_cast<int>(rowBytes), bytes->data(), bytes};
}

}  // namespace qova
