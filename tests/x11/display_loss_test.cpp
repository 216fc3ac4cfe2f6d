// The real application on an X server of its own that goes away for good while it captures and
// posts input.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>

#include "platform/linux/posix/posix_process_launcher.h"
#include "support/test_bundle.h"
#include "support/xvfb_server.h"

namespace qova::test {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Ended, or ended and not yet reaped by whoever adopted it.
bool gone(long pid) {
  std::string state;
  std::ifstream(std::string("/proc/") + std::to_string(pid) + "/stat") >> state >> state >> state;
  return kill(static_cast<pid_t>(pid), 0) != 0 || state == "Z";
}

TEST(Application, ADisplayGoneForGoodStopsTheAgentAndEndsWithAFailure) {
  XvfbServer server(640, 480);  // not the test program's own, which must outlive this
  ASSERT_TRUE(server.running());
  TestBundle bundle;
  const std::string executable = bundle.bundle() + "/Contents/MacOS/QOVA Lumaro Agent";
  fs::create_directories(fs::path(executable).parent_path());
  fs::copy_file(QOVA_APP_PATH, executable);
  // An agent that ends only when told to, as one busy with a viewer would.
  bundle.setScript({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n",
                    "write __QOVA_INPUT__{\"action\":\"tap\",\"x\":10,\"y\":10}\\n", "hang"});
  PosixProcessLauncher launcher;
  auto ended = std::async(std::launch::async, [&] {
    return launcher.runAndWait({"/usr/bin/env", {"XDG_STATE_HOME=" + bundle.root(), executable, "--auto-start"}}, 60s);
  });
  ASSERT_TRUE(
      waitUntil([&] { return bundle.readRecord("stdin.bin").find("__QOVA_FRAME_BYTES__") != std::string::npos; }, 30s));
  long agent = 0;
  std::istringstream(bundle.readRecord("pid.txt")) >> agent;

  server.stop();
  ASSERT_EQ(ended.wait_for(20s), std::future_status::ready);
  const std::optional<int> status = ended.get();
  ASSERT_TRUE(status.has_value());  // an exit of its own, not a signal
  EXPECT_NE(*status, 0);
  EXPECT_TRUE(waitUntil([&] { return gone(agent); }, 10s));
  if (!gone(agent)) kill(static_cast<pid_t>(agent), SIGKILL);  // it would hang forever
}

}  // namespace
}  // namespace qova::test
