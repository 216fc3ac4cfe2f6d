#include "capture/tile_rects.h"

#include <algorithm>

namespace qova {

std::vector<TileRect> mergeTiles(const std::vector<uint8_t>& classes, int columns, int rows) {
  std::vector<TileRect> rects;
  // For each column: the rectangle whose run starts there and reached the previous row, if any.
  std::vector<int> openAt(static_cast<size_t>(columns), -1);
  std::vector<int> nextOpenAt(static_cast<size_t>(columns), -1);
  for (int row = 0; row < rows; ++row) {
    std::fill(nextOpenAt.begin(), nextOpenAt.end(), -1);
    const uint8_t* line = classes.data() + static_cast<size_t>(row) * columns;
    for (int column = 0; column < columns;) {
      const uint8_t kind = line[column];
      int end = column + 1;
      while (end < columns && line[end] == kind) ++end;
      if (kind != 0) {
        const int open = openAt[column];
        if (open >= 0 && rects[open].columns == end - column && rects[open].kind == kind) {
          ++rects[open].rows;
          nextOpenAt[column] = open;
        } else {
          nextOpenAt[column] = static_cast<int>(rects.size());
          rects.push_back({column, row, end - column, 1, kind});
        }
      }
      column = end;
    }
    openAt.swap(nextOpenAt);
  }
  return rects;
}

}  // namespace qova
