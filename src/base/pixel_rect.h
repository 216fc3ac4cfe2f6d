#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

namespace qova {

// A rectangle of an image's pixels, top-left origin.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  friend bool operator==(const PixelRect&, const PixelRect&) = default;
};

// `rects` of a fromWidth x fromHeight image carried onto the same image scaled to toWidth x toHeight,
// widened by `margin` pixels of the result (a filter spreads a pixel to its neighbours) and clipped to it.
inline std::vector<PixelRect> scaledRects(const std::vector<PixelRect>& rects, int fromWidth, int fromHeight,
                                          int toWidth, int toHeight, int margin) {
  std::vector<PixelRect> result;
  if (fromWidth <= 0 || fromHeight <= 0) return result;
  const double sx = double(toWidth) / fromWidth, sy = double(toHeight) / fromHeight;
  for (const PixelRect& r : rects) {
    const int left = std::max(0, int(std::floor(r.x * sx)) - margin);
    const int top = std::max(0, int(std::floor(r.y * sy)) - margin);
    const int right = std::min(toWidth, int(std::ceil((double(r.x) + r.width) * sx)) + margin);
    const int bottom = std::min(toHeight, int(std::ceil((double(r.y) + r.height) * sy)) + margin);
    if (right > left && bottom > top) result.push_back({left, top, right - left, bottom - top});
  }
  return result;
}

}  // namespace qova
