// Throughput of agent output routing: chunks in, lines split, validated, classified and handled.
#include <benchmark/benchmark.h>

#include <string>

#include "app/app_delegate.h"
#include "bridge/agent_line_routing.h"
#include "bridge/agent_output_buffer.h"
#include "fakes/fake_platform_services.h"

namespace {

std::string makeOutput(size_t bytes, bool withMarkers) {
  const std::string lines[] = {
      "[agent] heartbeat ok, rtt=12ms, peers=1, frames sent=48213, bytes=9182731\n",
      "2026-12-06T07:00:00Z relay: keepalive from 203.0.113.9 accepted\n",
      "__QOVA_INPUT__{\"action\":\"tap\",\"x\":640,\"y\":400}\n",
      "[agent] 状态：已连接，会话 42 正常\n",
      "__QOVA_CAPTURE__{\"action\":\"start\"}\n",
  };
  std::string out;
  out.reserve(bytes + 128);
  for (size_t i = 0; out.size() < bytes; ++i) {
    const auto& line = lines[withMarkers ? i % 5 : (i % 2 == 0 ? 0 : (i % 4 == 1 ? 1 : 3))];
    out += line;
  }
  return out;
}

void routeInChunks(benchmark::State& state, const std::string& data, size_t chunk) {
  size_t routed = 0;
  for (auto _ : state) {
    qova::AgentOutputBuffer buffer;
    for (size_t i = 0; i < data.size(); i += chunk) {
      buffer.append(std::string_view(data).substr(i, chunk), [&](std::string_view line) {
        const auto kind = qova::classifyAgentLine(line);
        if (kind.kind == qova::AgentLineKind::status) {
          routed += qova::statusTextForLine(kind.payload).has_value();
        } else {
          routed += kind.payload.size();
        }
      });
    }
  }
  benchmark::DoNotOptimize(routed);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}

void BM_StatusOnly(benchmark::State& state) {
  static const std::string data = makeOutput(64u << 20, false);
  routeInChunks(state, data, static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_StatusOnly)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

void BM_Mixed(benchmark::State& state) {
  static const std::string data = makeOutput(64u << 20, true);
  routeInChunks(state, data, static_cast<size_t>(state.range(0)));
}
BENCHMARK(BM_Mixed)->Arg(4096)->Arg(65536)->Unit(benchmark::kMillisecond);

// One byte per read is the worst case a pipe can deliver.
void BM_MixedOneByteChunks(benchmark::State& state) {
  static const std::string data = makeOutput(64u << 20, true);
  routeInChunks(state, data, 1);
}
BENCHMARK(BM_MixedOneByteChunks)->Unit(benchmark::kMillisecond);

// 100,000 lines in one 8 MiB read: must cost per byte what 64 KiB reads cost (no quadratic erase).
void BM_SingleHugeChunk(benchmark::State& state) {
  static const std::string data = [] {
    std::string out;
    const std::string line = "[agent] log line padded to eighty-three bytes .................................\n";
    for (int i = 0; i < 100000; ++i) out += line;
    return out;
  }();
  routeInChunks(state, data, data.size());
  state.counters["lines"] = 100000;
}
BENCHMARK(BM_SingleHugeChunk)->Unit(benchmark::kMillisecond);

// The whole path through the controller, with its lock and the main-thread hand-over.
void BM_ControllerStatusOnly(benchmark::State& state) {
  static const std::string data = makeOutput(64u << 20, false);
  qova::test::FakePlatformServices fakes;
  auto delegate = std::make_shared<qova::AppDelegate>(fakes.services());
  const size_t chunk = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    for (size_t i = 0; i < data.size(); i += chunk) delegate->handleAgentOutput(std::string_view(data).substr(i, chunk));
    fakes.mainQueue->runPending();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * data.size()));
}
BENCHMARK(BM_ControllerStatusOnly)->Arg(65536)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
