#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/imaging.h"

namespace qova {

// Encodes BGRX pictures as PNG with libpng's simplified writer: indexed colour when the picture
// holds at most 256 colours (text and flat areas: a byte a pixel before compression), else 8-bit
// RGB. Keeps its buffers between pictures; one thread at a time.
class PngEncoder {
 public:
  std::optional<std::vector<uint8_t>> encode(const PixelBuffer& image);

 private:
  // The picture as palette indices, or false when it has more colours than a palette holds.
  bool toPalette(const PixelBuffer& image);
  std::optional<std::vector<uint8_t>> write(int width, int height, bool indexed);

  std::vector<uint8_t> pixels_;   // indices or B, G, R
  std::vector<uint8_t> palette_;  // B, G, R per entry
  std::vector<uint8_t> output_;
};

}  // namespace qova
