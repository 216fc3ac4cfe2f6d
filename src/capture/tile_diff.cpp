#include "capture/tile_diff.h"

#include <algorithm>
#include <cstring>

namespace qova {

std::vector<uint8_t> changedTiles(const PixelBuffer& before, const PixelBuffer& after) {
  const TileGrid grid{after.width, after.height};
  std::vector<uint8_t> changed(static_cast<size_t>(grid.count()), 0);
  const size_t rowBytes = static_cast<size_t>(after.width) * 4;
  const size_t tileBytes = static_cast<size_t>(kTileSide) * 4;
  for (int tileRow = 0; tileRow < grid.rows(); ++tileRow) {
    uint8_t* flags = changed.data() + static_cast<size_t>(tileRow) * grid.columns();
    int marked = 0;
    const int lastY = std::min(after.height, (tileRow + 1) * kTileSide);
    for (int y = tileRow * kTileSide; y < lastY && marked < grid.columns(); ++y) {
      const uint8_t* a = before.data + static_cast<size_t>(y) * before.bytesPerRow;
      const uint8_t* b = after.data + static_cast<size_t>(y) * after.bytesPerRow;
      if (std::memcmp(a, b, rowBytes) == 0) continue;
      for (int column = 0; column < grid.columns(); ++column) {
        if (flags[column]) continue;
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

}  // namespace qova
