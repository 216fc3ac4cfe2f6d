#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/imaging.h"

namespace qova::test {

// A BGRX buffer of the given size in one colour.
inline PixelBuffer solidPixelBuffer(int width, int height) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4, 0x80);
  return {width, height, width * 4, bytes->data(), bytes};
}

// An image context that counts renders, records encoding qualities and fails where told. Used on the
// stream output queue: read it after draining that queue. Its "JPEG" holds line feeds and the frame
// marker, which framing must not trip over.
class FakeImageContext : public ImageContext {
 public:
  enum class Step { none, render, scale, encode };
  std::optional<PixelBuffer> render(const PixelBuffer& buffer) override {
    ++renders;
    return failing == Step::render ? std::nullopt : std::optional(buffer);
  }
  std::optional<PixelBuffer> drawScaled(const PixelBuffer&, int width, int height) override {
    return failing == Step::scale ? std::nullopt : std::optional(solidPixelBuffer(width, height));
  }
  std::optional<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& image, double quality) override {
    qualities.push_back(quality);
    jpegWidths.push_back(image.width);
    return failing == Step::encode ? std::nullopt : std::optional(std::vector<uint8_t>(jpeg.begin(), jpeg.end()));
  }
  std::optional<std::vector<uint8_t>> encodeJpegFullColour(const PixelBuffer& image, double quality) override {
    refinedQualities.push_back(quality);
    jpegWidths.push_back(image.width);
    return failing == Step::encode || !image.isWellFormed()
               ? std::nullopt
               : std::optional(std::vector<uint8_t>(jpeg.begin(), jpeg.end()));
  }
  // "PNG" bytes that say which area they are of, so that tests can tell rectangles apart.
  std::optional<std::vector<uint8_t>> encodePng(const PixelBuffer& image) override {
    ++pngs;
    if (failing == Step::encode) return std::nullopt;
    const std::string text = "png " + std::to_string(image.width) + "x" + std::to_string(image.height);
    return std::vector<uint8_t>(text.begin(), text.end());
  }
  Step failing = Step::none;
  int pngs = 0;
  std::vector<double> refinedQualities;
  std::vector<int> jpegWidths;  // of every JPEG encoded, in order
  int renders = 0;
  std::vector<double> qualities;
  std::string jpeg = "\xFF\xD8\n__QOVA_FRAME_BYTES__{\"width\":1}\n\r\n\xFF\xD9";
};

class FakeImaging : public Imaging {
 public:
  std::shared_ptr<ImageContext> makeContext() override { return context; }
  std::shared_ptr<FakeImageContext> context = std::make_shared<FakeImageContext>();
};

}  // namespace qova::test
