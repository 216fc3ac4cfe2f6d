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

// Takes every write at once and paints each update onto the picture the agent would hold, marking
// which pixels came from lossless rectangles.
struct PaintingHost : CaptureHost {
  void writeFrameToAgent(std::string header, std::vector<uint8_t> payload,
                         std::function<void(AgentWrite)> done) override {
    {
      std::lock_guard lock(mutex);
      if (header.rfind("__QOVA_UPDATE_BYTES__", 0) == 0) paint(nlohmann::json::parse(header.substr(21)), payload);
    }
    done(AgentWrite::written);
  }
  void showCaptureStatus(std::string_view) override {}

  void paint(const nlohmann::json& header, const std::vector<uint8_t>& payload) {
    if (header["full"]) {
      held = picture(header["width"], header["height"]);
      lossless.assign(static_cast<size_t>(held.width) * held.height, false);
    }
    size_t offset = 0;
    for (const auto& r : header["rects"]) {
      const int x = r[0], y = r[1], w = r[2], h = r[3], kind = r[4], length = r[5];
      const QImage image = QImage::fromData(payload.data() + offset, length).convertToFormat(QImage::Format_RGB32);
      offset += static_cast<size_t>(length);
      if (image.width() != w || image.height() != h) ++malformed;
      for (int row = 0; row < std::min(h, image.height()); ++row) {
        std::memcpy(pixelAt(held, x, y + row), image.constScanLine(row),
                    static_cast<size_t>(std::min(w, image.width())) * 4);
        for (int column = 0; column < w; ++column)
          lossless[static_cast<size_t>(y + row) * held.width + x + column] = kind == 1;
      }
    }
    ++updates;
  }

  std::mutex mutex;
  PixelBuffer held;
  std::vector<bool> lossless;
  int updates = 0;
  int malformed = 0;
};

// Pixels that differ between what the host holds and `screen` where the host's are lossless, away
// from the pointer's corner; and how many of the pixels in `area` are lossless.
std::pair<int, int> compare(PaintingHost& host, const PixelBuffer& screen, QRect area) {
  std::lock_guard lock(host.mutex);
  if (host.lossless.size() != static_cast<size_t>(screen.width) * screen.height) return {-1, 0};
  int differing = 0, covered = 0;
  for (int y = 0; y < screen.height; ++y) {
    for (int x = 0; x < screen.width; ++x) {
      if (!host.lossless[static_cast<size_t>(y) * screen.width + x] || (x > 1400 && y > 860)) continue;
      differing += std::memcmp(pixelAt(host.held, x, y), pixelAt(screen, x, y), 3) != 0;
      covered += area.contains(x, y);
    }
  }
  return {differing, covered};
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
  const auto heldEquals = [&](const PixelBuffer& screen, QRect area, int minimumCovered) {
    return pumpUntil(
        [&] {
          const auto [differing, covered] = compare(*host, screen, area);
          return differing == 0 && covered >= minimumCovered;
        },
        std::chrono::seconds(10));
  };
  const auto updates = [&] {
    std::lock_guard lock(host->mutex);
    return host->updates;
  };
  ASSERT_TRUE(pumpUntil([&] { return updates() > 0; }, std::chrono::seconds(10)));
  EXPECT_TRUE(heldEquals(first, QRect(0, 0, 1400, 860), 1400 * 860));

  // Text-like strokes of a few colours over a block boundary, and a noisy square that goes lossy.
  const PixelBuffer second = blockPattern(1440, 900);
  for (int y = 300; y < 620; ++y) {
    for (int x = 400; x < 1000; ++x) {
      if ((x / 3 + y / 5) % 4 == 0) std::fill_n(pixelAt(second, x, y), 3, static_cast<uint8_t>(x % 3 * 60));
    }
  }
  for (int i = 0; i < 200 * 200; ++i)
    pixelAt(second, 100 + i % 200, 600 + i / 200)[1] = static_cast<uint8_t>(i * 7919 >> 3);
  const int before = updates();
  painter.show(second);
  EXPECT_TRUE(heldEquals(second, QRect(400, 300, 600, 320), 600 * 320));
  EXPECT_GT(updates(), before);
  // The noisy square was lossy, until refined at full quality; it is never counted as lossless.
  EXPECT_EQ(std::get<0>(compare(*host, second, {})), 0);
  EXPECT_EQ(host->malformed, 0);
  session->stopCaptureBridge();
  session->captureQueue->drain();
}

}  // namespace
}  // namespace qova::test
