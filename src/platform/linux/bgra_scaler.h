#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/screen_capture.h"

namespace qova {

// Memory that scaleBgra reuses between calls for its intermediate pictures.
struct ScaleScratch {
  std::vector<uint8_t> first;
  std::vector<uint8_t> second;
};

// Resamples 32-bit BGRX pixels from one size to another with the quality that stands for the
// platform's "medium" interpolation. libyuv's bilinear and box filters read only 2 of every n source
// pixels once the reduction reaches 2, which drops thin text strokes, so large reductions are made
// of steps that each average what they cover: halvings by exact 2x2 means while the reduction is 4
// or more, then bilinear filtering to twice the target size and a last halving. Reductions under 2
// are one bilinear pass. False on sizes it cannot handle.
bool scaleBgra(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight, uint8_t* target,
               int targetStride, int targetWidth, int targetHeight, ScaleScratch& scratch);

class BufferPool;

// A stream's picture scaled to `width` x `height` in pixel memory of its own from `pool`, as a complete
// sample taken at `at`; nullopt when it cannot be scaled.
std::optional<ScreenSample> scaledSample(const uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                                         int width, int height, BufferPool& pool, ScaleScratch& scratch,
                                         std::chrono::steady_clock::time_point at);

}  // namespace qova
