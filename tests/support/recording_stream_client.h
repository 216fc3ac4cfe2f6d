#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/screen_capture.h"

namespace qova::test {

// A stream client that keeps every sample and counts the stops it was told of.
struct RecordingClient : ScreenStreamClient {
  void didOutputSample(const ScreenSample& sample) override {
    std::lock_guard lock(mutex);
    samples.push_back(sample);
  }
  void didStopWithError() override { ++stops; }
  std::vector<ScreenSample> all() {
    std::lock_guard lock(mutex);
    return samples;
  }
  // The index of the first sample after `from` that satisfies `want`, waiting up to 5 s for one.
  std::optional<size_t> waitFor(size_t from, const std::function<bool(const ScreenSample&)>& want) {
    using namespace std::chrono_literals;
    for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(5ms)) {
      const auto seen = all();
      auto found = std::find_if(seen.begin() + static_cast<long>(std::min(from, seen.size())), seen.end(), want);
      if (found != seen.end()) return found - seen.begin();
    }
    return std::nullopt;
  }
  std::mutex mutex;
  std::vector<ScreenSample> samples;
  std::atomic<int> stops{0};
};

inline bool isComplete(const ScreenSample& s) { return s.status == FrameStatus::complete && s.imageBuffer; }

}  // namespace qova::test
