#include "capture/tile_diff.h"

#include <algorithm>
#include <cstring>

namespace qova {

std::vector<uint8_t> changedTiles(const PixelBuffer& before, const PixelBuffer& after,
                                  const std::vector<uint8_t>* candidates) {
  const TileGrid grid{after.width, after.height};
  std::vector<uint8_t> changed(static_cast<size_t>(grid.count()), 0);
  const size_t rowBytes = static_cast<size_t>(after.width) * 4;
  const size_t tileBytes = static_cast<size_t>(kTileSide) * 4;
  for (int tileRow = 0; tileRow < grid.rows(); ++tileRow) {
    uint8_t* flags = changed.data() + static_cast<size_t>(tileRow) * grid.columns();
    const uint8_t* wanted = candidates ? candidates->data() + static_cast<size_t>(tileRow) * grid.columns() : nullptr;
    // Tiles that need no look count as marked, so a row ends as soon as the rest are settled.
    int marked = wanted ? static_cast<int>(std::count(wanted, wanted + grid.columns(), 0)) : 0;
    const int lastY = std::min(after.height, (tileRow + 1) * kTileSide);
    for (int y = tileRow * kTileSide; y < lastY && marked < grid.columns(); ++y) {
      const uint8_t* a = before.data + static_cast<size_t>(y) * before.bytesPerRow;
      const uint8_t* b = after.data + static_cast<size_t>(y) * after.bytesPerRow;
      if (!wanted && std::memcmp(a, b, rowBytes) == 0) continue;
      for (int column = 0; column < grid.columns(); ++column) {
        if (flags[column] || (wanted && !wanted[column])) continue;
        const size_t offset = column * tileBytes;
        if (std::memcmp(a + offset, b + offset, std::min(tileBytes, rowBytes - offset)) != 0) {
          flags[column] = 1;
          ++marked;
        }
      }
    }
  }
  return changed;
}

std::vector<uint8_t> tilesTouched(const std::vector<PixelRect>& rects, TileGrid grid) {
  std::vector<uint8_t> touched(static_cast<size_t>(grid.count()), 0);
  for (const PixelRect& r : rects) {
    const int left = std::max(0, r.x), top = std::max(0, r.y);
    const int right = std::min(grid.width, r.x + r.width), bottom = std::min(grid.height, r.y + r.height);
    if (right <= left || bottom <= top) continue;
    for (int row = top / kTileSide; row <= (bottom - 1) / kTileSide; ++row) {
      std::fill_n(touched.begin() + row * grid.columns() + left / kTileSide, (right - 1) / kTileSide - left / kTileSide + 1,
                  uint8_t{1});
    }
  }
  return touched;
}

}  // namespace qova
