#include "platform/linux/cursor_overlay.h"

#include <algorithm>

namespace qova {

void drawCursor(uint8_t* frame, int frameStride, int frameWidth, int frameHeight, const uint32_t* cursor,
                int cursorWidth, int cursorHeight, int left, int top) {
  if (!frame || !cursor || cursorWidth <= 0 || cursorHeight <= 0) return;
  const int fromX = std::max(0, -left);
  const int fromY = std::max(0, -top);
  const int toX = std::min(cursorWidth, frameWidth - left);
  const int toY = std::min(cursorHeight, frameHeight - top);
  for (int cy = fromY; cy < toY; ++cy) {
    uint8_t* row = frame + static_cast<size_t>(top + cy) * frameStride;
    for (int cx = fromX; cx < toX; ++cx) {
      const uint32_t argb = cursor[static_cast<size_t>(cy) * cursorWidth + cx];
      const unsigned alpha = argb >> 24;
      if (alpha == 0) continue;
      uint8_t* pixel = row + static_cast<size_t>(left + cx) * 4;
      const unsigned keep = 255 - alpha;
      // Premultiplied: the cursor's colour is added to what shows through of the frame.
      for (int channel = 0; channel < 3; ++channel) {
        const unsigned source = (argb >> (8 * channel)) & 0xFF;
        pixel[channel] = static_cast<uint8_t>(std::min(255u, source + (pixel[channel] * keep + 127) / 255));
      }
    }
  }
}

}  // namespace qova

namespace qova {

CursorImage unpremultipliedCursor(const uint32_t* cursor, int width, int height, int hotX, int hotY, uint64_t serial) {
  CursorImage image;
  image.serial = serial;
  if (!cursor || width <= 0 || height <= 0) return image;
  image.width = std::min(width, kMaxCursorSide);
  image.height = std::min(height, kMaxCursorSide);
  image.hotX = std::clamp(hotX, 0, image.width - 1);
  image.hotY = std::clamp(hotY, 0, image.height - 1);
  image.rgba.resize(static_cast<size_t>(image.width) * image.height * 4);
  uint8_t* out = image.rgba.data();
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x, out += 4) {
      const uint32_t argb = cursor[static_cast<size_t>(y) * width + x];
      const unsigned alpha = argb >> 24;
      if (alpha == 0) continue;  // stays all zero
      for (int channel = 0; channel < 3; ++channel) {
        const unsigned premultiplied = (argb >> (16 - 8 * channel)) & 0xFF;
        out[channel] = static_cast<uint8_t>(std::min(255u, (premultiplied * 255 + alpha / 2) / alpha));
      }
      out[3] = static_cast<uint8_t>(alpha);
    }
  }
  return image;
}

}  // namespace qova
