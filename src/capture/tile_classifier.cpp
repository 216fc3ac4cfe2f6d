#include "capture/tile_classifier.h"

#include <array>
#include <cstring>

namespace qova {

bool hasFewColours(const PixelBuffer& picture, int x, int y, int width, int height, int limit) {
  // Open addressing at most half full; no colour (masked to 24 bits) equals the empty mark.
  constexpr uint32_t kEmpty = 0xFFFFFFFF;
  constexpr int kSlotBits = 9;
  std::array<uint32_t, 1u << kSlotBits> slots;
  slots.fill(kEmpty);
  int distinct = 0;
  uint32_t previous = kEmpty;
  for (int row = y; row < y + height; ++row) {
    const uint8_t* pixel = picture.data + static_cast<size_t>(row) * picture.bytesPerRow + static_cast<size_t>(x) * 4;
    for (int column = 0; column < width; ++column, pixel += 4) {
      uint32_t colour;
      std::memcpy(&colour, pixel, 4);
      colour &= 0x00FFFFFF;
      if (colour == previous) continue;  // runs are the rule in the pictures that pass
      previous = colour;
      uint32_t slot = (colour * 2654435761u) >> (32 - kSlotBits);
      while (slots[slot] != kEmpty && slots[slot] != colour) slot = (slot + 1) & ((1u << kSlotBits) - 1);
      if (slots[slot] == colour) continue;
      if (++distinct > limit) return false;
      slots[slot] = colour;
    }
  }
  return true;
}

}  // namespace qova
