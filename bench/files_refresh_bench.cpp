// A refresh of the received files list on the main thread, with the real directory listing and the
// real Qt controls in a built window: a folder of 10,000 files, 50 rows built each time.
//   scripts/with-xvfb.sh build/bench/qova_files_refresh_bench   (or without a display: offscreen)
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

// Before Qt: Qt defines "emit" as a macro.
#include "app/app_delegate.h"
#include "fakes/fake_platform_services.h"
#include "platform/controls.h"
#include "platform/linux/posix/posix_workspace.h"
#include "platform/qt/qt_controls.h"
#include "platform/qt/qt_workspace.h"
#include "ui/received_file_list.h"

#include <QApplication>

namespace {

namespace fs = std::filesystem;

struct Folder {
  explicit Folder(int files) {
    char pattern[] = "/tmp/qova-files-bench-XXXXXX";
    home = mkdtemp(pattern);
    const std::string received = home + "/Downloads/QOVA-Lumaro";
    fs::create_directories(received);
    for (int i = 0; i < files; ++i) {
      const std::string path = received + "/received-file-" + std::to_string(i) + ".bin";
      const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
      if (fd >= 0) {
        [[maybe_unused]] auto n = ::write(fd, "data", static_cast<size_t>(i % 5));
        ::close(fd);
      }
    }
  }
  ~Folder() {
    std::error_code error;
    fs::remove_all(home, error);
  }
  std::string home;
};

// A controller whose window and workspace are real; the rest are fakes that do nothing here.
struct Application {
  explicit Application(const std::string& home) {
    setenv("HOME", home.c_str(), 1);
    services = fakes.services();
    services.controls = std::make_shared<qova::QtControls>();
    services.workspace = std::make_shared<qova::QtWorkspace>(std::make_shared<qova::PosixWorkspace>());
    delegate = std::make_shared<qova::AppDelegate>(services);
    delegate->buildWindow();
    fakes.mainQueue->runPending();
  }
  qova::test::FakePlatformServices fakes;
  qova::PlatformServices services;
  std::shared_ptr<qova::AppDelegate> delegate;
};

void BM_RefreshReceivedFiles(benchmark::State& state) {
  Folder folder(static_cast<int>(state.range(0)));
  Application app(folder.home);
  for (auto _ : state) {
    app.delegate->refreshReceivedFiles();
    // Layout and painting of the new rows happen on the main thread too.
    if (state.range(1)) QApplication::processEvents();
  }
  state.counters["rows"] = app.delegate->fileListStack->arrangedSubviewCount();
}
BENCHMARK(BM_RefreshReceivedFiles)
    ->ArgsProduct({{10, 10'000}, {0, 1}})
    ->ArgNames({"files", "paint"})
    ->Unit(benchmark::kMillisecond);

// The listing and sorting alone, without controls.
void BM_ListAndSort(benchmark::State& state) {
  Folder folder(static_cast<int>(state.range(0)));
  qova::QtWorkspace workspace(std::make_shared<qova::PosixWorkspace>());
  const std::string received = qova::receivedFilesFolder(folder.home);
  size_t kept = 0;
  for (auto _ : state) {
    const auto listing = workspace.contentsOfDirectory(received);
    kept = qova::receivedFileEntries(*listing, qova::kMaxReceivedFileRows).total;
    benchmark::DoNotOptimize(kept);
  }
  state.counters["entries"] = static_cast<double>(kept);
}
BENCHMARK(BM_ListAndSort)->Arg(10'000)->ArgName("files")->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  if (!std::getenv("DISPLAY")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication application(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
