// The real image path: TurboJPEG encoding, libyuv resampling and the cursor overlay.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/linux/bgra_scaler.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "test_screen.h"

namespace qova::test {
namespace {

// One-pixel black lines on white, one every `period` columns: detail a point-sampling reduction
// either loses or blows up, while an area average turns it into an even grey.
PixelBuffer stripes(int width, int height, int period) {
  const PixelBuffer p = picture(width, height, 255);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += period) std::fill_n(pixelAt(p, x, y), 3, 0);
  }
  return p;
}

// Higher quality costs bytes; a buffer that cannot be read is refused at every step.
TEST(TurboJpegImaging, EncodesAFullRangeJpegOfTheQualityAskedThatDecodesToThePicture) {
  auto context = TurboJpegImaging().makeContext();
  const auto image = stripes(640, 400, 5);
  EXPECT_LT(context->encodeJpeg(image, 0.2)->size(), context->encodeJpeg(image, 0.54)->size());
  EXPECT_LT(context->encodeJpeg(image, 0.54)->size(), context->encodeJpeg(image, 0.95)->size());
  PixelBuffer broken = image;
  broken.bytesPerRow = 8;
  EXPECT_FALSE(context->render(broken) || context->encodeJpeg(broken, 0.54) || context->drawScaled(image, 0, 10));
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1280, 800}, {1279, 598}, {1, 1}, {3, 1281}}) {
    const auto jpeg = context->encodeJpeg(blockPattern(w, h), 0.54);
    ASSERT_TRUE(jpeg);
    const PixelBuffer decoded = decodeJpeg(*jpeg);
    ASSERT_EQ(std::make_pair(decoded.width, decoded.height), std::make_pair(w, h));
    if (w < 100) continue;
    expectBlocks(decoded, 6);
    EXPECT_LE(pixelAt(decoded, w / 2, h * 3 / 4)[1], 2);  // black stays black and white white: full range
    EXPECT_GE(pixelAt(decoded, w / 6, h * 3 / 4)[1], 253);
  }
}

// Reductions of Retina-class and 4K screens turn thin lines (text strokes) into grey instead of
// dropping or keeping them whole, as point sampling does (its darkest pixel is black); odd sizes
// are handled, and a picture already at its size is copied as it is.
TEST(BgraScaler, ReductionsAverageWhatTheyCover) {
  const struct {
    int width, height, period, frameWidth, frameHeight;
    int darkest, lightest;  // of the area average: a line over 2, 3 or 2.25 columns
  } cases[] = {{2560, 1600, 2, 1280, 800, 127, 128},
               {3840, 2160, 3, 1280, 720, 170, 170},
               {2880, 1800, 9, 1280, 800, 142, 255},
               {2881, 1801, 9, 1280, 800, 142, 255},
               {1279, 799, 3, 1279, 799, 0, 255}};
  for (const auto& c : cases) {
    const auto scaled =
        TurboJpegImaging().makeContext()->drawScaled(stripes(c.width, c.height, c.period), c.frameWidth, c.frameHeight);
    ASSERT_TRUE(scaled);
    int darkest = 255, lightest = 0;
    for (int i = 0; i < c.frameWidth * c.frameHeight * 3; ++i) {
      const uint8_t value = pixelAt(*scaled, i / 3 % c.frameWidth, i / 3 / c.frameWidth)[i % 3];
      darkest = std::min<int>(darkest, value);
      lightest = std::max<int>(lightest, value);
    }
    EXPECT_NEAR(darkest, c.darkest, 12) << c.width;
    EXPECT_NEAR(lightest, c.lightest, 12) << c.width;
  }
}

TEST(CursorOverlay, BlendsPremultipliedPixelsAndClipsAtTheEdges) {
  const PixelBuffer frame = picture(4, 3, 100);
  // 2x2 cursor: opaque red, half-transparent white (premultiplied 0x80), transparent, opaque black.
  const uint32_t cursor[4] = {0xFFFF0000, 0x80808080, 0x00000000, 0xFF000000};
  drawCursor(pixelAt(frame, 0, 0), 16, 4, 3, cursor, 2, 2, 3, 2);  // only the top-left cursor pixel is inside
  EXPECT_EQ(pixelAt(frame, 3, 2)[2], 255);
  EXPECT_EQ(pixelAt(frame, 3, 2)[0], 0);
  EXPECT_EQ(pixelAt(frame, 2, 2)[0], 100);
  drawCursor(pixelAt(frame, 0, 0), 16, 4, 3, cursor, 2, 2, -1, -1);  // only the bottom-right one
  EXPECT_EQ(pixelAt(frame, 0, 0)[1], 0);
  drawCursor(pixelAt(frame, 0, 0), 16, 4, 3, cursor, 2, 2, 1, 0);
  EXPECT_EQ(pixelAt(frame, 2, 0)[1], 0x80 + (100 * 127 + 127) / 255);
  EXPECT_EQ(pixelAt(frame, 1, 1)[1], 100);                           // transparent: untouched
  drawCursor(pixelAt(frame, 0, 0), 16, 4, 3, cursor, 2, 2, 10, 10);  // wholly outside: nothing, no crash
}

}  // namespace
}  // namespace qova::test
