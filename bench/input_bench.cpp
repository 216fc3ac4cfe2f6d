// Cost of one remote input command from its line payload to the posted events, on the recording
// event poster (pauses are recorded, not slept): JSON decoding, coercion, the action table, dispatch.
#include <benchmark/benchmark.h>

#include <memory>

#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"

namespace {

void runCommand(benchmark::State& state, const char* payload) {
  qova::test::FakePlatformServices fakes;
  auto app = std::make_shared<qova::AppDelegate>(fakes.services());
  size_t count = 0;
  for (auto _ : state) {
    app->handleInputBridge(payload, 0);  // run 0: no agent started, as in the controller's first state
    // Keep the recordings small so memory growth does not enter the figure.
    if (++count % 256 == 0) {
      fakes.eventPoster->take();
      std::lock_guard lock(fakes.pasteboard->mutex);
      fakes.pasteboard->strings.clear();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_InputTap(benchmark::State& state) { runCommand(state, R"({"action":"tap","x":640,"y":400})"); }
void BM_InputKey(benchmark::State& state) {
  runCommand(state, R"({"action":"key","key":"z","modifiers":["cmd","shift"]})");
}
void BM_InputText(benchmark::State& state) {
  runCommand(state, R"({"action":"text","text":"你好，世界 — hello\nsecond line ✓"})");
}
void BM_InputSwipe(benchmark::State& state) {
  runCommand(state, R"({"action":"swipe","x":100,"y":700,"x2":100,"y2":200,"durationMs":300})");
}
void BM_InputMalformed(benchmark::State& state) { runCommand(state, R"({"action":"tap","x":640,"y":)"); }

BENCHMARK(BM_InputTap);
BENCHMARK(BM_InputKey);
BENCHMARK(BM_InputText);
BENCHMARK(BM_InputSwipe);
BENCHMARK(BM_InputMalformed);

}  // namespace

BENCHMARK_MAIN();
