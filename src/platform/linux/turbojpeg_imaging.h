#pragma once

#include "platform/imaging.h"

namespace qova {

// Image contexts on libyuv and libjpeg-turbo: BGRX is turned into full-range (JPEG) 4:2:0 planes by
// libyuv and those planes are compressed by TurboJPEG, which measured cheaper here than TurboJPEG's
// own colour conversion. Resampling is scaleBgra's; PNG is libpng's.
class TurboJpegImaging : public Imaging {
 public:
  std::shared_ptr<ImageContext> makeContext() override;
};

}  // namespace qova
