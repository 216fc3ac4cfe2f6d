#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qova {

// How a rectangle's bytes are to be read; a copy has none: it moves part of the picture the agent
// holds (as it stood before this rectangle) from the source to the rectangle.
enum class RectKind : int { jpeg = 0, png = 1, copy = 2 };

struct UpdateRect {
  int x = 0;  // picture pixels; x and y on the tile grid
  int y = 0;
  int width = 0;
  int height = 0;
  RectKind kind = RectKind::jpeg;
  int64_t length = 0;  // bytes of its file in the payload
  int sourceX = 0;     // a copy's top-left corner in the picture before it; any pixel
  int sourceY = 0;
};

struct UpdateCursor {
  int64_t x = 0;  // the hot spot in picture pixels
  int64_t y = 0;
  bool visible = true;
  friend bool operator==(const UpdateCursor&, const UpdateCursor&) = default;
};

struct UpdateShape {
  uint64_t serial = 0;
  int width = 0;
  int height = 0;
  int hotX = 0;
  int hotY = 0;
  int64_t length = 0;  // width * height * 4 bytes of RGBA after the rectangles' bytes
};

// What the agent learns about one update of the picture it holds.
struct UpdateHeader {
  int64_t width = 0;  // of the picture
  int64_t height = 0;
  int64_t inputWidth = 0;  // of the captured display, unscaled
  int64_t inputHeight = 0;
  int64_t timestamp = 0;  // wall-clock milliseconds at capture
  int64_t bytes = 0;      // payload bytes that follow the header line
  bool full = false;      // the rectangles cover the whole picture: what the agent held is void
  std::vector<UpdateRect> rects;
  std::optional<UpdateCursor> cursor;
  std::optional<UpdateShape> shape;
};

// The header line of an update: the update marker, the compact JSON header, a line feed.
std::string updateHeaderLine(const UpdateHeader& header);

}  // namespace qova
