#pragma once
// The picture an agent would hold: each update of an opt-in capture decoded and painted over the one
// before, with the pixels of lossless rectangles marked, for tests on real desktops.

#include <QImage>
#include <QRect>

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "capture/capture_host.h"
#include "platform/imaging.h"

namespace qova::test {

// A picture of the test's own: 4 bytes a pixel (B, G, R, X), rows packed, all bytes `fill`.
inline PixelBuffer picture(int width, int height, uint8_t fill = 0) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width) * height * 4, fill);
  return {width, height, width * 4, bytes->data(), bytes};
}

inline uint8_t* pixelAt(const PixelBuffer& p, int x, int y) {
  return const_cast<uint8_t*>(p.data) + static_cast<size_t>(y) * p.bytesPerRow + static_cast<size_t>(x) * 4;
}

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

// Whether the held picture equals `screen` wherever it is lossless (outside `ignored`) and all of
// `area` is lossless.
inline bool heldEquals(PaintingHost& host, const PixelBuffer& screen, QRect area, QRect ignored = {}) {
  std::lock_guard lock(host.mutex);
  if (host.lossless.size() != static_cast<size_t>(screen.width) * screen.height) return false;
  int covered = 0;
  for (int y = 0; y < screen.height; ++y) {
    for (int x = 0; x < screen.width; ++x) {
      if (!host.lossless[static_cast<size_t>(y) * screen.width + x] || ignored.contains(x, y)) continue;
      if (std::memcmp(pixelAt(host.held, x, y), pixelAt(screen, x, y), 3) != 0) return false;
      covered += area.contains(x, y);
    }
  }
  return covered == area.width() * area.height();
}

}  // namespace qova::test
