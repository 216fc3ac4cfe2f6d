#include "platform/linux/bgra_scaler.h"

#include <libyuv/scale_argb.h>

#include <cstring>

#include "platform/linux/buffer_pool.h"

namespace qova {

namespace {

struct Plane {
  const uint8_t* data;
  int stride;
  int width;
  int height;
};

uint8_t* reserve(std::vector<uint8_t>& memory, int width, int height) {
  memory.resize(static_cast<size_t>(width) * height * 4);
  return memory.data();
}

// Exact 2x2 means of the even part of `from` (an odd last row or column is left out).
bool halve(const Plane& from, uint8_t* into, int intoStride) {
  return libyuv::ARGBScale(from.data, from.stride, from.width / 2 * 2, from.height / 2 * 2, into, intoStride,
                           from.width / 2, from.height / 2, libyuv::kFilterBox) == 0;
}

}  // namespace

bool scaleBgra(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
               int targetStride, int targetWidth, int targetHeight, ScaleScratch& scratch) {
  if (!source || !target || sourceWidth <= 0 || sourceHeight <= 0 || targetWidth <= 0 || targetHeight <= 0 ||
      sourceStride < sourceWidth * 4 || targetStride < targetWidth * 4) {
    return false;
  }
  if (sourceWidth == targetWidth && sourceHeight == targetHeight) {
    for (int y = 0; y < sourceHeight; ++y) {
      std::memcpy(target + static_cast<size_t>(y) * targetStride, source + static_cast<size_t>(y) * sourceStride,
                  static_cast<size_t>(sourceWidth) * 4);
    }
    return true;
  }
  Plane from{source, sourceStride, sourceWidth, sourceHeight};
  bool inFirst = false;
  while (from.width / 4 >= targetWidth && from.height / 4 >= targetHeight) {
    auto& memory = inFirst ? scratch.second : scratch.first;
    uint8_t* into = reserve(memory, from.width / 2, from.height / 2);
    if (!halve(from, into, from.width / 2 * 4)) return false;
    from = {into, from.width / 2 * 4, from.width / 2, from.height / 2};
    inFirst = !inFirst;
  }
  if (from.width >= 2 * targetWidth && from.height >= 2 * targetHeight) {
    const int doubleWidth = 2 * targetWidth;
    const int doubleHeight = 2 * targetHeight;
    if (from.width != doubleWidth || from.height != doubleHeight) {
      auto& memory = inFirst ? scratch.second : scratch.first;
      uint8_t* into = reserve(memory, doubleWidth, doubleHeight);
      if (libyuv::ARGBScale(from.data, from.stride, from.width, from.height, into, doubleWidth * 4, doubleWidth,
                            doubleHeight, libyuv::kFilterBilinear) != 0) {
        return false;
      }
      from = {into, doubleWidth * 4, doubleWidth, doubleHeight};
    }
    return halve(from, target, targetStride);
  }
  return libyuv::ARGBScale(from.data, from.stride, from.width, from.height, target, targetStride, targetWidth,
                           targetHeight, libyuv::kFilterBilinear) == 0;
}

std::optional<ScreenSample> scaledSample(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                                         int width, int height, BufferPool& pool, ScaleScratch& scratch,
                                         std::chrono::steady_clock::time_point at) {
  auto pixels = pool.take(static_cast<size_t>(width) * height * 4);
  if (!scaleBgra(source, sourceStride, sourceWidth, sourceHeight, pixels->data(), width * 4, width, height, scratch)) {
    return std::nullopt;
  }
  ScreenSample sample;
  sample.status = FrameStatus::complete;
  sample.imageBuffer = PixelBuffer{width, height, width * 4, pixels->data(), pixels};
  sample.presentationTime = at;
  return sample;
}

}  // namespace qova
