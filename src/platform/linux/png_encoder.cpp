#include "platform/linux/png_encoder.h"

#include <libyuv/convert_from_argb.h>
#include <png.h>

#include <array>
#include <cstring>

namespace qova {

std::optional<std::vector<uint8_t>> PngEncoder::encode(const PixelBuffer& image) {
  if (!image.isWellFormed()) return std::nullopt;
  if (toPalette(image)) return write(image.width, image.height, true);
  pixels_.resize(static_cast<size_t>(image.width) * image.height * 3);
  // libyuv's "RGB24" is B, G, R in memory, PNG_FORMAT_BGR's order.
  if (libyuv::ARGBToRGB24(image.data, image.bytesPerRow, pixels_.data(), image.width * 3, image.width, image.height) !=
      0) {
    return std::nullopt;
  }
  return write(image.width, image.height, false);
}

bool PngEncoder::toPalette(const PixelBuffer& image) {
  // Colour (24 bits) to index, open addressing at most half full; the empty mark is no colour.
  constexpr uint32_t kEmpty = 0xFFFFFFFF;
  constexpr int kSlotBits = 9;
  std::array<uint32_t, 1u << kSlotBits> colours;
  std::array<uint8_t, 1u << kSlotBits> indices{};
  colours.fill(kEmpty);
  palette_.clear();
  pixels_.resize(static_cast<size_t>(image.width) * image.height);
  uint8_t* out = pixels_.data();
  uint32_t previous = kEmpty;
  uint8_t previousIndex = 0;
  for (int y = 0; y < image.height; ++y) {
    const uint8_t* pixel = image.data + static_cast<size_t>(y) * image.bytesPerRow;
    for (int x = 0; x < image.width; ++x, pixel += 4) {
      uint32_t colour;
      std::memcpy(&colour, pixel, 4);
      colour &= 0x00FFFFFF;
      if (colour != previous) {
        uint32_t slot = (colour * 2654435761u) >> (32 - kSlotBits);
        while (colours[slot] != kEmpty && colours[slot] != colour) slot = (slot + 1) & ((1u << kSlotBits) - 1);
        if (colours[slot] == kEmpty) {
          if (palette_.size() == 256 * 3) return false;
          colours[slot] = colour;
          indices[slot] = static_cast<uint8_t>(palette_.size() / 3);
          palette_.insert(palette_.end(), pixel, pixel + 3);
        }
        previous = colour;
        previousIndex = indices[slot];
      }
      *out++ = previousIndex;
    }
  }
  return true;
}

std::optional<std::vector<uint8_t>> PngEncoder::write(int width, int height, bool indexed) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(width);
  png.height = static_cast<png_uint_32>(height);
  png.format = indexed ? PNG_FORMAT_BGR_COLORMAP : PNG_FORMAT_BGR;
  png.flags = PNG_IMAGE_FLAG_FAST;
  png.colormap_entries = indexed ? static_cast<png_uint_32>(palette_.size() / 3) : 0;
  output_.resize(PNG_IMAGE_PNG_SIZE_MAX(png));
  png_alloc_size_t size = output_.size();
  const png_int_32 stride = indexed ? width : width * 3;
  const int ok = png_image_write_to_memory(&png, output_.data(), &size, 0, pixels_.data(), stride,
                                           indexed ? palette_.data() : nullptr);
  png_image_free(&png);
  if (!ok) return std::nullopt;
  return std::vector<uint8_t>(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(size));
}

}  // namespace qova
