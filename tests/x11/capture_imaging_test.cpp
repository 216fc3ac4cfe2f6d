// The real image path: TurboJPEG encoding, libyuv resampling and the cursor overlay.
#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <random>

#include "capture_test_screen.h"
#include "platform/linux/bgra_scaler.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/turbojpeg_imaging.h"

namespace qova::test {
namespace {

PixelBuffer bufferOf(const Picture& picture) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(picture.bgrx);
  return {picture.width, picture.height, picture.width * 4, bytes->data(), bytes};
}

// Thin dark strokes on white at random places: detail that costs JPEG bytes.
Picture strokes(int width, int height) {
  Picture p{width, height, std::vector<uint8_t>(static_cast<size_t>(width) * height * 4, 255)};
  std::mt19937 random(7);
  for (size_t i = 0; i < p.bgrx.size(); i += 4) {
    if ((i / 4 / width) % 6 < 4 && random() % 3 == 0) p.bgrx[i] = p.bgrx[i + 1] = p.bgrx[i + 2] = 20;
  }
  return p;
}

TEST(TurboJpegImaging, EncodesAFullRangeJpegThatDecodesToThePicture) {
  auto context = TurboJpegImaging().makeContext();
  for (const auto& [w, h] : std::vector<std::pair<int, int>>{{1280, 800}, {1279, 598}, {1, 1}, {3, 1281}}) {
    const auto jpeg = context->encodeJpeg(bufferOf(blockPattern(w, h)), 0.54);
    ASSERT_TRUE(jpeg);
    const Picture decoded = decodeJpeg(std::string(jpeg->begin(), jpeg->end()));
    ASSERT_EQ(std::make_pair(decoded.width, decoded.height), std::make_pair(w, h));
    if (w < 100) continue;
    expectBlocks(decoded, 6);
    EXPECT_LE(decoded.at(w / 2, h * 3 / 4)[1], 2);    // black stays black and white white: full range
    EXPECT_GE(decoded.at(w / 6, h * 3 / 4)[1], 253);
  }
}

TEST(TurboJpegImaging, QualityTradesSizeAndMalformedInputIsRefused) {
  auto context = TurboJpegImaging().makeContext();
  const auto image = bufferOf(strokes(640, 400));
  const auto low = context->encodeJpeg(image, 0.2);
  const auto mid = context->encodeJpeg(image, 0.54);
  const auto high = context->encodeJpeg(image, 0.95);
  ASSERT_TRUE(low && mid && high);
  EXPECT_LT(low->size(), mid->size());
  EXPECT_LT(mid->size(), high->size());
  PixelBuffer broken = image;
  broken.bytesPerRow = 8;
  EXPECT_FALSE(context->render(broken));
  EXPECT_FALSE(context->encodeJpeg(broken, 0.54));
  EXPECT_FALSE(context->drawScaled(image, 0, 10));
  EXPECT_TRUE(context->render(image));
}

// Text of Retina-class and 4K screens against ImageMagick's area-averaging -scale: point sampling
// (libyuv's filters alone at these ratios) scores about 16 to 22 dB here.
TEST(BgraScaler, TextOfLargeScreensStaysReadableAfterReduction) {
  char pattern[] = "/tmp/qova-scale-XXXXXX";
  const std::string dir = mkdtemp(pattern);
  for (const auto& [w, h, tw, th] : std::vector<std::array<int, 4>>{{2880, 1800, 1280, 800}, {3840, 2160, 1280, 720}}) {
    const Picture page = textPage(w, h, dir);
    ASSERT_EQ(page.width, w);
    const std::string command = "convert -size " + std::to_string(w) + "x" + std::to_string(h) + " -depth 8 BGRA:" +
                                dir + "/text.bgra -scale " + std::to_string(tw) + "x" + std::to_string(th) +
                                " -depth 8 BGRA:" + dir + "/reference.bgra";
    ASSERT_EQ(std::system(command.c_str()), 0);
    const std::string reference = readFile(dir + "/reference.bgra");
    const Picture expected{tw, th, std::vector<uint8_t>(reference.begin(), reference.end())};
    const auto scaled = TurboJpegImaging().makeContext()->drawScaled(bufferOf(page), tw, th);
    ASSERT_TRUE(scaled);
    EXPECT_GE(psnr(pictureOf(*scaled), expected), 33.0) << w << "x" << h;
  }
  std::filesystem::remove_all(dir);
}

TEST(BgraScaler, OddSizesAndSameSizeCopiesAreHandled) {
  const Picture source = blockPattern(2881, 1801);
  Picture target{1279, 799, std::vector<uint8_t>(1279 * 799 * 4)};
  ScaleScratch scratch;
  ASSERT_TRUE(scaleBgra(source.bgrx.data(), source.width * 4, source.width, source.height, target.bgrx.data(),
                        target.width * 4, target.width, target.height, scratch));
  expectBlocks(target, 2);
  Picture copy{2881, 1801, std::vector<uint8_t>(source.bgrx.size())};
  ASSERT_TRUE(scaleBgra(source.bgrx.data(), source.width * 4, source.width, source.height, copy.bgrx.data(),
                        copy.width * 4, copy.width, copy.height, scratch));
  EXPECT_EQ(copy.bgrx, source.bgrx);
  EXPECT_FALSE(scaleBgra(source.bgrx.data(), 4, source.width, source.height, copy.bgrx.data(), copy.width * 4, 10, 10,
                         scratch));
}

TEST(CursorOverlay, BlendsPremultipliedPixelsAndClipsAtTheEdges) {
  Picture frame{4, 3, std::vector<uint8_t>(4 * 3 * 4, 100)};
  // 2x2 cursor: opaque red, half-transparent white (premultiplied 0x80), transparent, opaque black.
  const uint32_t cursor[4] = {0xFFFF0000, 0x80808080, 0x00000000, 0xFF000000};
  drawCursor(frame.bgrx.data(), 16, 4, 3, cursor, 2, 2, 3, 2);  // only the top-left cursor pixel is inside
  EXPECT_EQ(frame.at(3, 2)[2], 255);
  EXPECT_EQ(frame.at(3, 2)[0], 0);
  EXPECT_EQ(frame.at(2, 2)[0], 100);
  drawCursor(frame.bgrx.data(), 16, 4, 3, cursor, 2, 2, -1, -1);  // only the bottom-right one
  EXPECT_EQ(frame.at(0, 0)[1], 0);
  drawCursor(frame.bgrx.data(), 16, 4, 3, cursor, 2, 2, 1, 0);
  EXPECT_EQ(frame.at(2, 0)[1], 0x80 + (100 * 127 + 127) / 255);
  EXPECT_EQ(frame.at(1, 1)[1], 100);  // transparent: untouched
  drawCursor(frame.bgrx.data(), 16, 4, 3, cursor, 2, 2, 10, 10);  // wholly outside: nothing, no crash
}

}  // namespace
}  // namespace qova::test
