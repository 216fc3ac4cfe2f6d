#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/imaging.h"

namespace qova::test {

// An image context that records what the pipeline asked of it. Its "JPEG" is a fixed byte string
// (by default one holding line feeds and the frame marker, which framing must not trip over).
class FakeImageContext : public ImageContext {
 public:
  std::optional<PixelBuffer> render(const PixelBuffer& buffer) override;
  std::optional<PixelBuffer> drawScaled(const PixelBuffer& image, int width, int height) override;
  std::optional<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& image, double quality) override;

  struct Encode {
    int width;
    int height;
    double quality;
  };
  // What was asked, in order.
  int renders() const;
  std::vector<std::pair<int, int>> scales() const;
  std::vector<Encode> encodes() const;

  // Configuration.
  void setJpeg(std::string bytes);
  void setFailures(bool render, bool scale, bool encode);
  std::string jpeg() const;

 private:
  mutable std::mutex mutex_;
  int renders_ = 0;
  std::vector<std::pair<int, int>> scales_;
  std::vector<Encode> encodes_;
  std::string jpeg_ = "\xFF\xD8\n__QOVA_FRAME_BYTES__{\"width\":1}\n\r\n\xFF\xD9";
  bool failRender_ = false;
  bool failScale_ = false;
  bool failEncode_ = false;
};

class FakeImaging : public Imaging {
 public:
  std::shared_ptr<ImageContext> makeContext() override { return context; }
  std::shared_ptr<FakeImageContext> context = std::make_shared<FakeImageContext>();
};

// A BGRX buffer of the given size filled with one colour.
PixelBuffer solidPixelBuffer(int width, int height, uint8_t blue = 0x40, uint8_t green = 0x80, uint8_t red = 0xC0);

}  // namespace qova::test
