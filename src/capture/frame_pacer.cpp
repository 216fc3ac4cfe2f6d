#include "capture/frame_pacer.h"

#include <algorithm>

namespace qova {

FramePacer::FramePacer(std::chrono::nanoseconds minimumInterval) : minimumInterval_(minimumInterval) {}

void FramePacer::changed(TimePoint now) {
  if (!keptChange_) keptChange_ = now;
}

std::optional<SamplePacing::TimePoint> FramePacer::due() const {
  if (!keptChange_ || !lastFrame_) return keptChange_;
  return std::max(*keptChange_, *lastFrame_ + minimumInterval_);
}

void FramePacer::sampled(TimePoint now) {
  lastFrame_ = now;
  keptChange_.reset();
}

}  // namespace qova
