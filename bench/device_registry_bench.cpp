// The server's device registry at its cap, as the network thread sees it.
//   device_registry_bench [devices=1000000] [folder=$TMPDIR]
// Fills a registry on disk with `devices` devices (half of them last seen 100 days earlier), then
// reports: the time one claim takes on the calling thread near the cap (median and max over the last
// 1,000, the writer thread busy with the ones before), how long the writer needs to catch up, the
// time a start takes to load the database, its resident memory, and one pass forgetting the older half.
// Prints one line per figure.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "device_registry.h"

namespace {

using Clock = std::chrono::steady_clock;
using qova::server::DeviceRegistry;
constexpr std::int64_t kDay = 24 * 60 * 60;
constexpr int kTimed = 1000;

double millisSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

long residentKib() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

std::string deviceId(int i) { return std::to_string(100000000 + i); }
std::string publicKey(int i) {
  char hex[65];
  std::snprintf(hex, sizeof hex, "%064x", i);
  return hex;
}

}  // namespace

int main(int argc, char** argv) {
  const int devices = argc > 1 ? std::stoi(argv[1]) : static_cast<int>(DeviceRegistry::kMaxDevices);
  const auto folder = std::filesystem::path(argc > 2 ? argv[2] : std::filesystem::temp_directory_path().string()) /
                      ("qova-registry-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  const auto database = (folder / "devices.sqlite").string();
  std::int64_t now = 20000 * kDay;
  const auto clock = [&now] { return now; };
  const auto report = [](const std::string& message) { std::fprintf(stderr, "%s\n", message.c_str()); };

  // Filled in a child, so the memory figure below is the loaded registry's alone.
  std::fflush(stdout);
  const pid_t filler = ::fork();
  if (filler == 0) {
    DeviceRegistry registry(database, report, clock);
    const auto fillStart = Clock::now();
    const int untimed = std::max(devices - kTimed, 0);
    for (int i = 0; i < untimed; ++i) {
      if (i == devices / 2) now += 100 * kDay;
      registry.claim(deviceId(i), publicKey(i));
    }
    std::printf("fill: %d claims in %.0f ms on the calling thread\n", untimed, millisSince(fillStart));
    std::vector<double> times;
    for (int i = untimed; i < devices; ++i) {
      const auto id = deviceId(i);
      const auto key = publicKey(i);
      const auto start = Clock::now();
      const auto claim = registry.claim(id, key);
      times.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
      if (claim != DeviceRegistry::Claim::Registered) {
        std::fprintf(stderr, "claim %d refused\n", i);
        ::_exit(1);
      }
    }
    std::sort(times.begin(), times.end());
    std::printf("claim near the cap: median %.1f us, max %.1f us over %zu claims (registry of %zu)\n",
                times[times.size() / 2], times.back(), times.size(), registry.size());
    const auto flushStart = Clock::now();
    if (!registry.flush()) ::_exit(1);
    std::printf("writer caught up %.0f ms after the last claim\n", millisSince(flushStart));
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  if (filler < 0 || ::waitpid(filler, &status, 0) != filler || status != 0) return 1;
  now += 100 * kDay;

  const long before = residentKib();
  const auto loadStart = Clock::now();
  std::optional<DeviceRegistry> registry(std::in_place, database, report, clock);
  std::printf("load at start: %zu devices in %.0f ms, %ld MiB resident more\n", registry->size(),
              millisSince(loadStart), (residentKib() - before) / 1024);
  const auto sliceStart = Clock::now();
  auto forgotten = registry->forgetUnseen(now - 50 * kDay, 10000);
  std::printf("forget: a slice of %zu in %.1f ms on the calling thread\n", forgotten, millisSince(sliceStart));
  const auto forgetStart = Clock::now();
  forgotten += registry->forgetUnseen(now - 50 * kDay);
  std::printf("forget: %zu of %d devices in %.0f ms on the calling thread", forgotten, devices,
              millisSince(forgetStart));
  const auto deleteStart = Clock::now();
  registry->flush();
  std::printf(", deleted on disk %.0f ms later\n", millisSince(deleteStart));
  const auto idleStart = Clock::now();
  registry->forgetUnseen(now - 50 * kDay);
  std::printf("forget with nothing to forget: %.0f ms on the calling thread\n", millisSince(idleStart));
  registry.reset();
  std::printf("database: %ju MiB\n", static_cast<std::uintmax_t>(std::filesystem::file_size(database) >> 20));
  std::filesystem::remove_all(folder);
  return 0;
}
