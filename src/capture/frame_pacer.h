#pragma once

#include <chrono>
#include <optional>

#include "platform/screen_capture.h"

namespace qova {

// The one pacing rule for every stream: a change is sampled at once when the last frame is at least
// the minimum interval old, else as that interval ends. A change after a quiet spell thus waits for
// no tick, and a burst of changes still yields at most one frame per interval. A change seen while
// one is kept joins it.
class FramePacer : public SamplePacing {
 public:
  explicit FramePacer(std::chrono::nanoseconds minimumInterval);
  void changed(TimePoint now) override;
  std::optional<TimePoint> due() const override;
  void sampled(TimePoint now) override;

 private:
  const std::chrono::nanoseconds minimumInterval_;
  std::optional<TimePoint> lastFrame_;
  std::optional<TimePoint> keptChange_;
};

}  // namespace qova
