#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace qova {

// 32-bit pixels in memory order B, G, R, X (the fourth byte is ignored), rows top to bottom.
// A cheap value: `storage` keeps the bytes alive, so copies share them and any thread may read them.
// The bytes are never written once a buffer is handed on.
struct PixelBuffer {
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  const uint8_t* data = nullptr;
  std::shared_ptr<const void> storage;

  // Dimensions and row length describe memory the buffer can really be read over.
  bool isWellFormed() const {
    return width > 0 && height > 0 && data != nullptr && bytesPerRow >= width * 4;
  }
};

// Turns captured pixel buffers into images, resamples them and encodes JPEG. One context is made
// with the controller and used for every frame; it is used by one thread at a time (the stream
// output queue) and keeps its encoder between frames.
class ImageContext {
 public:
  virtual ~ImageContext() = default;
  // An image covering the whole buffer, or nullopt when the buffer cannot be read as an image.
  virtual std::optional<PixelBuffer> render(const PixelBuffer& buffer) = 0;
  // The image resampled to width x height with medium-quality interpolation (area-averaging for
  // large reductions), or nullopt when the bitmap cannot be made.
  virtual std::optional<PixelBuffer> drawScaled(const PixelBuffer& image, int width, int height) = 0;
  // One complete baseline JPEG file (full-range YCbCr, 4:2:0) at `quality` on the 0.0 to 1.0
  // scale, or nullopt when encoding failed.
  virtual std::optional<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& image, double quality) = 0;
  // The same with colour at full resolution (4:4:4), for pictures that are to look finished.
  virtual std::optional<std::vector<uint8_t>> encodeJpegFullColour(const PixelBuffer& image, double quality) = 0;
  // One complete PNG file of the image, lossless (indexed when it holds at most 256 colours, else
  // 8-bit RGB), or nullopt when encoding failed.
  virtual std::optional<std::vector<uint8_t>> encodePng(const PixelBuffer& image) = 0;
};

// Makes image contexts. Any thread.
class Imaging {
 public:
  virtual ~Imaging() = default;
  virtual std::shared_ptr<ImageContext> makeContext() = 0;
};

}  // namespace qova
