// The real application, started as a user would, with the test agent in its bundle.
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <thread>

#include "support/test_bundle.h"

extern char** environ;

namespace qova::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (done()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return done();
}

bool processAlive(pid_t pid) { return kill(pid, 0) == 0; }

TEST(ApplicationLaunch, AutoStartRunsTheBundledAgentWithItsVariablesAndOnePermissionMessage) {
  TestBundle bundle;
  const std::string executable = bundle.bundle() + "/Contents/MacOS/QOVA Lumaro Agent";
  fs::create_directories(fs::path(executable).parent_path());
  fs::copy_file(QOVA_APP_PATH, executable);
  bundle.setScript({"write [agent] connecting\\n"});

  std::vector<std::string> args = {executable, "--auto-start"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t app = -1;
  ASSERT_EQ(posix_spawn(&app, executable.c_str(), nullptr, nullptr, argv.data(), environ), 0);

  // The identity query runs first, then the service run; the latter is what stays recorded.
  ASSERT_TRUE(waitFor([&] { return bundle.readRecord("argv.txt") == "--nogui\n"; }, 20s));
  ASSERT_TRUE(waitFor([&] { return !bundle.readRecord("stdin.bin").empty(); }, 10s));
  std::this_thread::sleep_for(2s);  // long enough for a poll tick that must not send again

  std::map<std::string, std::string> variables;
  for (const auto& entry : bundle.recordLines("env.txt")) {
    if (entry.starts_with("QOVA_MAC_")) variables[entry.substr(0, entry.find('='))] = entry.substr(entry.find('=') + 1);
  }
  EXPECT_EQ(variables.size(), 4u);
  EXPECT_EQ(variables["QOVA_MAC_INPUT_BRIDGE"], "1");
  EXPECT_EQ(variables["QOVA_MAC_CAPTURE_BRIDGE"], "1");
  // Xvfb can be read and has XTest, so both count as granted.
  EXPECT_EQ(variables["QOVA_MAC_SCREEN_TRUSTED"], "1");
  EXPECT_EQ(variables["QOVA_MAC_INPUT_TRUSTED"], "1");
  EXPECT_EQ(bundle.readRecord("stdin.bin"), "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");

  // Ending the application asks the agent to end too.
  const pid_t agent = std::stoi(bundle.readRecord("pid.txt"));
  ASSERT_TRUE(processAlive(agent));
  kill(app, SIGTERM);
  int status = 0;
  ASSERT_EQ(waitpid(app, &status, 0), app);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(waitFor([&] { return !processAlive(agent); }, 10s));
}

}  // namespace
}  // namespace qova::test
