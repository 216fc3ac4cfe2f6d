#include "quality_tuner.h"

namespace qova::agent {

std::optional<double> QualityTuner::observe(std::chrono::milliseconds slowest, Clock::time_point now) {
  if (slowest >= kFast) fastSince_.reset();
  else if (!fastSince_) fastSince_ = now;
  if (changedAt_ && now - *changedAt_ < kMinGap) return std::nullopt;
  if (slowest > kSlow && level_ + 1 < kLevels.size()) {
    ++level_;
  } else if (level_ > 0 && fastSince_ && now - *fastSince_ >= kRaiseAfter) {
    --level_;
    fastSince_ = now;  // each further step waits as long again
  } else {
    return std::nullopt;
  }
  changedAt_ = now;
  return kLevels[level_];
}

}  // namespace qova::agent
