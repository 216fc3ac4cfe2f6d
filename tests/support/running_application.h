#pragma once
// For test programs that define QOVA_APP_PATH (the built application).

#include <filesystem>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/posix/posix_process_launcher.h"
#include "support/test_bundle.h"

namespace qova::test {

// The bundle's copy of the application, started as a user would, in the background.
struct RunningApplication {
  explicit RunningApplication(TestBundle& bundle) : bundle(bundle) {
    namespace fs = std::filesystem;
    executable = bundle.bundle() + "/Contents/MacOS/QOVA Lumaro Agent";
    fs::create_directories(fs::path(executable).parent_path());
    if (!fs::exists(executable)) fs::copy_file(QOVA_APP_PATH, executable);
    const fs::path icon = fs::path(QOVA_APP_PATH).parent_path().parent_path() / "Resources/qova-lumaro-agent.png";
    fs::copy_file(icon, bundle.bundle() + "/Contents/Resources/qova-lumaro-agent.png", fs::copy_options::skip_existing);
  }
  // Its log and its instance lock stay in the bundle's folder rather than the user's.
  std::optional<int> run(const std::vector<std::string>& arguments = {}) {
    std::vector<std::string> command = {"XDG_STATE_HOME=" + bundle.root(), "XDG_RUNTIME_DIR=" + bundle.root()};
    command.insert(command.end(), environment.begin(), environment.end());
    command.push_back(executable);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return launcher.runAndWait({"/usr/bin/env", command}, std::chrono::seconds(60));
  }
  std::future<std::optional<int>> start(std::vector<std::string> arguments = {}) {
    return std::async(std::launch::async, [this, arguments] { return run(arguments); });
  }
  TestBundle& bundle;
  std::vector<std::string> environment;  // "NAME=value" over the test's own
  std::string executable;
  PosixProcessLauncher launcher;
};

}  // namespace qova::test
