#include "fakes/fake_imaging.h"

namespace qova::test {

PixelBuffer solidPixelBuffer(int width, int height, uint8_t blue, uint8_t green, uint8_t red) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
  for (size_t i = 0; i + 3 < bytes->size(); i += 4) {
    (*bytes)[i] = blue;
    (*bytes)[i + 1] = green;
    (*bytes)[i + 2] = red;
    (*bytes)[i + 3] = 0xFF;
  }
  PixelBuffer buffer;
  buffer.width = width;
  buffer.height = height;
  buffer.bytesPerRow = width * 4;
  buffer.data = bytes->data();
  buffer.storage = bytes;
  return buffer;
}

std::optional<PixelBuffer> FakeImageContext::render(const PixelBuffer& buffer) {
  std::lock_guard lock(mutex_);
  ++renders_;
  if (failRender_ || !buffer.isWellFormed()) return std::nullopt;
  return buffer;
}

std::optional<PixelBuffer> FakeImageContext::drawScaled(const PixelBuffer& /*image*/, int width, int height) {
  {
    std::lock_guard lock(mutex_);
    scales_.emplace_back(width, height);
    if (failScale_) return std::nullopt;
  }
  return solidPixelBuffer(width, height);
}

std::optional<std::vector<uint8_t>> FakeImageContext::encodeJpeg(const PixelBuffer& image, double quality) {
  std::lock_guard lock(mutex_);
  encodes_.push_back({image.width, image.height, quality});
  if (failEncode_) return std::nullopt;
  return std::vector<uint8_t>(jpeg_.begin(), jpeg_.end());
}

int FakeImageContext::renders() const {
  std::lock_guard lock(mutex_);
  return renders_;
}

std::vector<std::pair<int, int>> FakeImageContext::scales() const {
  std::lock_guard lock(mutex_);
  return scales_;
}

std::vector<FakeImageContext::Encode> FakeImageContext::encodes() const {
  std::lock_guard lock(mutex_);
  return encodes_;
}

void FakeImageContext::setJpeg(std::string bytes) {
  std::lock_guard lock(mutex_);
  jpeg_ = std::move(bytes);
}

std::string FakeImageContext::jpeg() const {
  std::lock_guard lock(mutex_);
  return jpeg_;
}

void FakeImageContext::setFailures(bool render, bool scale, bool encode) {
  std::lock_guard lock(mutex_);
  failRender_ = render;
  failScale_ = scale;
  failEncode_ = encode;
}

}  // namespace qova::test
