#pragma once

#include <cstdint>
#include <vector>

namespace qova {

// A rectangle of whole tiles, in tile units, all of one class.
struct TileRect {
  int column = 0;
  int row = 0;
  int columns = 0;
  int rows = 0;
  uint8_t kind = 0;
  friend bool operator==(const TileRect&, const TileRect&) = default;
};

// Neighbouring tiles of one class joined into rectangles: runs along each row, and a run grows
// downward while the next row has a run of the same class at the same columns. `classes` holds one
// class per tile, row by row (0: not to be sent); every other tile is in exactly one rectangle.
// Ordered by top row, then left column.
std::vector<TileRect> mergeTiles(const std::vector<uint8_t>& classes, int columns, int rows);

}  // namespace qova
