#include "platform/linux/turbojpeg_imaging.h"

#include <libyuv/convert_from_argb.h>
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>

#include "platform/linux/bgra_scaler.h"
#include "platform/linux/png_encoder.h"

namespace qova {

namespace {

struct TjDestroyer {
  void operator()(void* handle) const {
    if (handle) tjDestroy(handle);
  }
};

class TurboJpegImageContext : public ImageContext {
 public:
  std::optional<PixelBuffer> render(const PixelBuffer& buffer) override {
    // The pixels are already 32-bit BGRX in memory the buffer keeps alive; the image shares them.
    if (!buffer.isWellFormed()) return std::nullopt;
    return buffer;
  }

  std::optional<PixelBuffer> drawScaled(const PixelBuffer& image, int width, int height) override {
    if (!image.isWellFormed() || width <= 0 || height <= 0) return std::nullopt;
    auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4);
    if (!scaleBgra(image.data, image.bytesPerRow, image.width, image.height, bytes->data(), width * 4, width, height,
                   scratch_)) {
      return std::nullopt;
    }
    PixelBuffer scaled;
    scaled.width = width;
    scaled.height = height;
    scaled.bytesPerRow = width * 4;
    scaled.data = bytes->data();
    scaled.storage = std::move(bytes);
    return scaled;
  }

  std::optional<std::vector<uint8_t>> encodeJpeg(const PixelBuffer& image, double quality) override {
    if (!image.isWellFormed() || !std::isfinite(quality)) return std::nullopt;
    if (!compressor_) compressor_.reset(tjInitCompress());
    if (!compressor_) return std::nullopt;
    const int width = image.width;
    const int height = image.height;
    const int chromaWidth = (width + 1) / 2;
    const int chromaHeight = (height + 1) / 2;
    const size_t lumaBytes = static_cast<size_t>(width) * height;
    const size_t chromaBytes = static_cast<size_t>(chromaWidth) * chromaHeight;
    planes_.resize(lumaBytes + 2 * chromaBytes);
    uint8_t* y = planes_.data();
    uint8_t* u = y + lumaBytes;
    uint8_t* v = u + chromaBytes;
    // libyuv's "ARGB" is B, G, R, A in memory: the layout of the captured pixels.
    if (libyuv::ARGBToJ420(image.data, image.bytesPerRow, y, width, u, chromaWidth, v, chromaWidth, width, height) !=
        0) {
      return std::nullopt;
    }
    const unsigned long bound = tjBufSize(width, height, TJSAMP_420);
    if (bound == static_cast<unsigned long>(-1)) return std::nullopt;
    if (output_.size() < bound) output_.resize(bound);
    unsigned char* jpeg = output_.data();
    unsigned long jpegSize = bound;
    const unsigned char* planes[3] = {y, u, v};
    const int strides[3] = {width, chromaWidth, chromaWidth};
    const int tjQuality = std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
    if (tjCompressFromYUVPlanes(compressor_.get(), planes, width, strides, height, TJSAMP_420, &jpeg, &jpegSize,
                                tjQuality, TJFLAG_NOREALLOC) != 0) {
      return std::nullopt;
    }
    return std::vector<uint8_t>(jpeg, jpeg + jpegSize);
  }

  std::optional<std::vector<uint8_t>> encodeJpegFullColour(const PixelBuffer& image, double quality) override {
    // Refinement passes are small and rare: TurboJPEG's own colour pass does.
    if (!image.isWellFormed() || !std::isfinite(quality)) return std::nullopt;
    if (!compressor_) compressor_.reset(tjInitCompress());
    if (!compressor_) return std::nullopt;
    const unsigned long bound = tjBufSize(image.width, image.height, TJSAMP_444);
    if (bound == static_cast<unsigned long>(-1)) return std::nullopt;
    if (output_.size() < bound) output_.resize(bound);
    unsigned char* jpeg = output_.data();
    unsigned long jpegSize = bound;
    const int tjQuality = std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
    if (tjCompress2(compressor_.get(), image.data, image.width, image.bytesPerRow, image.height, TJPF_BGRX, &jpeg,
                    &jpegSize, TJSAMP_444, tjQuality, TJFLAG_NOREALLOC) != 0) {
      return std::nullopt;
    }
    return std::vector<uint8_t>(jpeg, jpeg + jpegSize);
  }

  std::optional<std::vector<uint8_t>> encodePng(const PixelBuffer& image) override { return png_.encode(image); }

 private:
  PngEncoder png_;
  std::unique_ptr<void, TjDestroyer> compressor_;
  std::vector<uint8_t> planes_;
  std::vector<uint8_t> output_;
  ScaleScratch scratch_;
};

}  // namespace

std::shared_ptr<ImageContext> TurboJpegImaging::makeContext() { return std::make_shared<TurboJpegImageContext>(); }

}  // namespace qova
