#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/imaging.h"

namespace qova::test {

// A BGRX buffer of the given size in one colour.
inline PixelBuffer solidPixelBuffer(int width, int height) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4, 0x80);
  return {width, height, width * 4, bytes->data(), bytes};
}

// An image context that records what the pipeline asked of it and fails where told. It is used on
// the stream output queue: read it after draining that queue. Its "JPEG" holds line feeds and the
// frame marker, which framing must not trip over.
class FakeImageContext : public ImageContext {
 public:
  enum class Step { none, render, scale, encode };

  std::optional<PixelBuffer> render(const PixelBuffer& buffer) override {
    ++renders;
    if (failing == Step::render || !buffer.isWellFormed()) return std::nullopt;
    return buffer;
  }
  std::optional<PixelBuffer> drawScaled(const PixelBuffer& /*image*/, int width, int height) override {
    scales.emplace_back(width, height);
    if (failing == Step::scale) return std::nullopt;
    return solidPixelBuffer(width, height);
  }
  std::optional<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& image, double quality) override {
    encodes.push_back({image.width, image.height, quality});
    if (failing == Step::encode) return std::nullopt;
    return std::vector<uint8_t>(jpeg.begin(), jpeg.end());
  }

  struct Encode {
    int width;
    int height;
    double quality;
  };
  int renders = 0;
  std::vector<std::pair<int, int>> scales;
  std::vector<Encode> encodes;
  Step failing = Step::none;
  const std::string jpeg = "\xFF\xD8\n__QOVA_FRAME_BYTES__{\"width\":1}\n\r\n\xFF\xD9";
};

class FakeImaging : public Imaging {
 public:
  std::shared_ptr<ImageContext> makeContext() override { return context; }
  std::shared_ptr<FakeImageContext> context = std::make_shared<FakeImageContext>();
};

}  // namespace qova::test
