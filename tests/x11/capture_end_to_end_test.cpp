// Capture through the real controller: the test agent asks for frames on its output and records
// its input; the real launcher, X11 stream, libyuv and TurboJPEG sit in between.
#include <gtest/gtest.h>

#include "app/app_delegate.h"
#include "capture/capture_session.h"
#include "capture_test_screen.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/posix/posix_process_launcher.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/x11_permissions.h"
#include "platform/linux/xshm_screen_capture.h"
#include "base/serial_queue.h"
#include "support/frame_messages.h"
#include "support/test_bundle.h"

namespace qova::test {
namespace {

TEST(CaptureEndToEnd, TheAgentReceivesFramesOfTheScreenAndOfEachChange) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  painter.show(blockPattern(1440, 900));
  painter.warpPointer(1439, 899);
  TestBundle bundle;
  bundle.setScript({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n"});
  FakePlatformServices fakes;
  fakes.workspace->bundle = bundle.bundle();
  PlatformServices services = fakes.services();
  services.processes = std::make_shared<PosixProcessLauncher>();
  services.permissions = std::make_shared<X11Permissions>();
  services.screenCapture = std::make_shared<XShmScreenCapture>();
  services.imaging = std::make_shared<TurboJpegImaging>();
  auto delegate = std::make_shared<AppDelegate>(services);
  delegate->startAgent();
  const auto received = [&] { return framesIn(bundle.readRecord("stdin.bin")); };
  ASSERT_TRUE(fakes.mainQueue->pumpUntil([&] { return !received().empty(); }));

  const SentFrame first = received().front();
  EXPECT_EQ(first.header["width"], 1280);
  EXPECT_EQ(first.header["height"], 800);
  EXPECT_EQ(first.header["inputWidth"], 1440);
  EXPECT_EQ(first.header["inputHeight"], 900);
  const Picture frame = decodeJpeg(first.jpeg);
  ASSERT_EQ(std::make_pair(frame.width, frame.height), std::make_pair(1280, 800));
  expectBlocks(frame, 10);

  // The change comes as a frame of its own.
  Picture changed;
  ASSERT_TRUE(fakes.mainQueue->pumpUntil([&] {
    painter.fill(100, 700, 80, 80, 0xFF00FF);
    changed = decodeJpeg(received().back().jpeg);
    return changed.at(125, 657)[1] < 60;  // the magenta square, scaled
  }));
  EXPECT_GT(changed.at(125, 657)[2], 200);
  EXPECT_GT(changed.at(125, 657)[0], 200);

  delegate->stopClicked();
  delegate->capture->captureQueue->drain();
  fakes.mainQueue->runPending();
}

}  // namespace
}  // namespace qova::test
