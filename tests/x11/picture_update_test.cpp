// The richer picture on a real X server: the updates of an opt-in capture, decoded and painted over
// the picture they follow, give back the screen exactly wherever they were lossless.
#include <gtest/gtest.h>

#include <mutex>
#include <nlohmann/json.hpp>

#include "capture/capture_session.h"
#include "fakes/fake_platform_services.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/xshm_screen_capture.h"
#include "test_screen.h"

namespace qova::test {
namespace {

// Paints each update onto the picture the agent would hold, marking pixels of lossless rectangles.
struct PaintingHost : CaptureHost {
  void writeFrameToAgent(std::string header, std::vector<uint8_t> payload,
                         std::function<void(AgentWrite)> done) override {
    std::unique_lock lock(mutex);
    if (header.rfind("__QOVA_UPDATE_BYTES__", 0) == 0) paint(nlohmann::json::parse(header.substr(21)), payload.data());
    lock.unlock();
    done(AgentWrite::written);
  }
  void showCaptureStatus(std::string_view) override {}
  void paint(const nlohmann::json& header, const uint8_t* bytes) {
    if (header["full"]) held = picture(header["width"], header["height"]);
    if (header["full"]) lossless.assign(static_cast<size_t>(held.width) * held.height, false);
    for (const auto& r : header["rects"]) {
      const int x = r[0], y = r[1], w = r[2], h = r[3], kind = r[4], length = r[5];
      const QImage image = QImage::fromData(bytes, length).convertToFormat(QImage::Format_RGB32);
      bytes += length;
      for (int row = 0; row < std::min(h, image.height()); ++row) {
        std::memcpy(pixelAt(held, x, y + row), image.constScanLine(row),
                    static_cast<size_t>(std::min(w, image.width())) * 4);
        std::fill_n(lossless.begin() + (y + row) * held.width + x, w, kind == 1);
      }
    }
  }
  std::mutex mutex;
  PixelBuffer held;
  std::vector<bool> lossless;
};

// Whether the held picture equals `screen` wherever it is lossless (away from the pointer's corner)
// and all of `area` is lossless.
bool heldEquals(PaintingHost& host, const PixelBuffer& screen, QRect area) {
  std::lock_guard lock(host.mutex);
  if (host.lossless.size() != static_cast<size_t>(screen.width) * screen.height) return false;
  int covered = 0;
  for (int y = 0; y < screen.height; ++y) {
    for (int x = 0; x < screen.width; ++x) {
      if (!host.lossless[static_cast<size_t>(y) * screen.width + x] || (x > 1400 && y > 860)) continue;
      if (std::memcmp(pixelAt(host.held, x, y), pixelAt(screen, x, y), 3) != 0) return false;
      covered += area.contains(x, y);
    }
  }
  return covered == area.width() * area.height();
}

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
  EXPECT_TRUE(pumpUntil([&] { return heldEquals(*host, first, {0, 0, 1400, 860}); }, std::chrono::seconds(10)));

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
  EXPECT_TRUE(pumpUntil([&] { return heldEquals(*host, second, {400, 300, 600, 320}); }, std::chrono::seconds(10)));
  session->stopCaptureBridge();
  session->captureQueue->drain();
}

}  // namespace
}  // namespace qova::test
