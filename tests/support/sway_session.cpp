#include "support/sway_session.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "support/test_bundle.h"

namespace qova::test {

namespace {
namespace fs = std::filesystem;
constexpr const char* kVariables[3] = {"WAYLAND_DISPLAY", "XDG_RUNTIME_DIR", "DISPLAY"};
constexpr uid_t kNobody = 65534;
}  // namespace

SwaySession::SwaySession(const std::string& config) {
  char folder[] = "/tmp/qova-sway-XXXXXX";
  if (!mkdtemp(folder)) return;
  folder_ = folder;
  std::ofstream(folder_ + "/config") << "xwayland disable\n" << config;
  const bool root = geteuid() == 0;
  if (root && chown(folder, kNobody, kNobody) != 0) return;
  for (int i = 0; i < 3; ++i) {
    if (const char* value = std::getenv(kVariables[i])) saved_[i] = value;
  }
  pid_ = fork();
  if (pid_ == 0) {
    const std::string runtime = "XDG_RUNTIME_DIR=" + folder_, home = "HOME=" + folder_;
    const char* env[] = {
        "PATH=/usr/sbin:/usr/bin:/sbin:/bin", runtime.c_str(),       home.c_str(), "WLR_BACKENDS=headless",
        "WLR_LIBINPUT_NO_DEVICES=1",          "WLR_RENDERER=pixman", nullptr};
    const std::string configPath = folder_ + "/config", log = folder_ + "/sway.log";
    freopen(log.c_str(), "w", stderr);
    if (root) {
      execle("/usr/bin/setpriv", "setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "sway", "-c",
             configPath.c_str(), nullptr, env);
    } else {
      execle("/usr/bin/sway", "sway", "-c", configPath.c_str(), nullptr, env);
    }
    _exit(127);
  }
  // Ready once both its sockets are there.
  waitUntil(
      [&] {
        for (const auto& entry : fs::directory_iterator(folder_)) {
          if (entry.path().filename().string().starts_with("sway-ipc.")) ipcSocket_ = entry.path();
        }
        return !ipcSocket_.empty() && fs::exists(folder_ + "/wayland-1");
      },
      std::chrono::seconds(10));
  if (ipcSocket_.empty()) return;
  // A path of its own, so that a client given another runtime folder still finds it.
  setenv("WAYLAND_DISPLAY", (folder_ + "/wayland-1").c_str(), 1);
  setenv("XDG_RUNTIME_DIR", folder_.c_str(), 1);
  unsetenv("DISPLAY");
}

SwaySession::~SwaySession() {
  if (pid_ > 0) {
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  for (int i = 0; i < 3; ++i) saved_[i] ? setenv(kVariables[i], saved_[i]->c_str(), 1) : unsetenv(kVariables[i]);
  if (!folder_.empty()) fs::remove_all(folder_);
}

std::string SwaySession::message(const std::string& arguments) const {
  std::string output;
  FILE* pipe = popen(("swaymsg -s '" + ipcSocket_ + "' " + arguments + " 2>&1").c_str(), "r");
  if (!pipe) return output;
  std::array<char, 4096> chunk;
  for (size_t n; (n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0;) output.append(chunk.data(), n);
  pclose(pipe);
  return output;
}

}  // namespace qova::test
