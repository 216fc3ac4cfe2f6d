#pragma once

#include <cstdint>
#include <vector>

#include "base/pixel_rect.h"
#include "platform/imaging.h"

namespace qova {

// The side of the square tiles a picture is compared, sent and refined in.
inline constexpr int kTileSide = 32;

// The tiles of a width x height picture, row by row; those of the last column and row may be cut.
struct TileGrid {
  int width = 0;
  int height = 0;
  int columns() const { return (width + kTileSide - 1) / kTileSide; }
  int rows() const { return (height + kTileSide - 1) / kTileSide; }
  int count() const { return columns() * rows(); }
};

// One flag per tile of the grid (row by row): whether any byte of its pixels differs between the
// two pictures, which must be of one size. A row of pixels that is equal across the whole picture
// costs one comparison, so an unchanged screen costs about one pass over its bytes. With
// `candidates` (one flag per tile), only flagged tiles are compared: the rest count as unchanged.
std::vector<uint8_t> changedTiles(const PixelBuffer& before, const PixelBuffer& after,
                                  const std::vector<uint8_t>* candidates = nullptr);

// One flag per tile of `grid`: whether any of `rects` (clipped to the picture) touches it.
std::vector<uint8_t> tilesTouched(const std::vector<PixelRect>& rects, TileGrid grid);

}  // namespace qova
