// Cost of one left click through XTest on the X server named by DISPLAY (for example a private Xvfb:
// scripts/with-xvfb.sh build/bench/qova_input_xtest_bench): the click sequence of a "tap" (cursor
// move, button down, button up, each taken by the server before the next) without its 50 ms pause.
#include <benchmark/benchmark.h>

#include "input/pointer_events.h"
#include "platform/linux/xtest_event_poster.h"

namespace {

// Posts through XTest but leaves the pauses out, so only the events are timed.
class UnpausedPoster : public qova::EventPoster {
 public:
  explicit UnpausedPoster(qova::XTestEventPoster& poster) : poster_(poster) {}
  void moveCursor(double x, double y) override { poster_.moveCursor(x, y); }
  void postMouseEvent(qova::MouseEventType type, double x, double y, qova::MouseButton button) override {
    poster_.postMouseEvent(type, x, y, button);
  }
  void postScrollWheel(int32_t lines) override { poster_.postScrollWheel(lines); }
  void postKeyEvent(uint16_t code, bool down, qova::ModifierFlags flags) override {
    poster_.postKeyEvent(code, down, flags);
  }
  void sleepMs(uint32_t) override {}

 private:
  qova::XTestEventPoster& poster_;
};

void BM_XTestClick(benchmark::State& state) {
  qova::XTestEventPoster poster;
  if (!poster.available()) {
    state.SkipWithError("no X display with the XTest extension (set DISPLAY)");
    return;
  }
  UnpausedPoster unpaused(poster);
  double x = 100;
  for (auto _ : state) {
    // Alternate between two points so every click really moves the pointer.
    x = x == 100 ? 900 : 100;
    qova::click(unpaused, x, 400, qova::MouseButton::left);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_XTestKeyWithModifiers(benchmark::State& state) {
  qova::XTestEventPoster poster;
  if (!poster.available()) {
    state.SkipWithError("no X display with the XTest extension (set DISPLAY)");
    return;
  }
  for (auto _ : state) {
    poster.postKeyEvent(6, true, qova::kModifierCommand | qova::kModifierShift);
    poster.postKeyEvent(6, false, qova::kModifierCommand | qova::kModifierShift);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

BENCHMARK(BM_XTestClick)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_XTestKeyWithModifiers)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
