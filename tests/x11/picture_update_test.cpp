// The richer picture on a real X server: the updates of an opt-in capture, decoded and painted over
// the picture they follow, give back the screen exactly wherever they were lossless.
#include <gtest/gtest.h>

#include "capture/capture_session.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/xshm_screen_capture.h"
#include "support/painting_host.h"
#include "test_screen.h"

namespace qova::test {
namespace {

// Where the pointer sits, drawn into the screen.
const QRect kPointerCorner(1401, 861, 39, 39);

TEST(PictureUpdates, PaintedOverThePictureBeforeGiveBackTheScreenExactlyWhereLossless) {
  TestScreen painter;
  ASSERT_TRUE(painter.ready());
  painter.warpPointer(1439, 899);
  const PixelBuffer first = blockPattern(1440, 900);
  painter.show(first);
  FakePlatformServices fakes;
  auto host = std::make_shared<PaintingHost>();
  auto session = std::make_shared<CaptureSession>(std::make_shared<XShmScreenCapture>(), fakes.permissions,
                                                  std::make_shared<TurboJpegImaging>(), fakes.mainQueue);
  session->handleCaptureBridge(R"({"action":"start","picture":{"version":1}})", host);
  EXPECT_TRUE(pumpUntil(
      [&] {
        return heldEquals(*host, first, {0, 0, 1400, 860}, kPointerCorner);
      },
      std::chrono::seconds(10)));

  // Strokes of a few colours across block edges, and a noisy square that is sent lossy.
  const PixelBuffer second = blockPattern(1440, 900);
  for (int i = 0; i < 600 * 320; ++i) {
    const int x = 400 + i % 600, y = 300 + i / 600;
    if ((x / 3 + y / 5) % 4 == 0) std::fill_n(pixelAt(second, x, y), 3, static_cast<uint8_t>(x % 3 * 60));
  }
  for (int i = 0; i < 200 * 200; ++i) {
    const uint32_t noise = static_cast<uint32_t>(i) * 2654435761u;
    std::memcpy(pixelAt(second, 100 + i % 200, 600 + i / 200), &noise, 3);
  }
  painter.show(second);
  EXPECT_TRUE(pumpUntil(
      [&] {
        return heldEquals(*host, second, {400, 300, 600, 320}, kPointerCorner);
      },
      std::chrono::seconds(10)));
  session->stopCaptureBridge();
  session->captureQueue->drain();
}

}  // namespace
}  // namespace qova::test
