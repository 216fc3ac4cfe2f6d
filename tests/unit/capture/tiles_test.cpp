// The tile logic of the richer picture: which tiles changed, which are lossless, and how they join.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "capture/picture_copy.h"
#include "capture/picture_encoder.h"
#include "capture/tile_classifier.h"
#include "capture/tile_diff.h"
#include "capture/tile_rects.h"
#include "fakes/fake_imaging.h"

namespace qova {
namespace {

uint8_t* at(const PixelBuffer& p, int x, int y) {
  return const_cast<uint8_t*>(p.data) + static_cast<size_t>(y) * p.bytesPerRow + static_cast<size_t>(x) * 4;
}

// A picture with row padding, as captured buffers may have.
PixelBuffer padded(int width, int height) {
  auto bytes = std::make_shared<std::vector<uint8_t>>(static_cast<size_t>(width + 3) * 4 * height, 0x80);
  return {width, height, (width + 3) * 4, bytes->data(), bytes};
}

TEST(TileDiff, FlagsExactlyTheTilesWithAChangedByteIncludingCutEdgeTiles) {
  const struct {
    int x, y, byte;
    std::vector<uint8_t> expected;  // 3 x 2 tiles of a 70 x 40 picture
  } cases[] = {
      {0, 0, 0, {1, 0, 0, 0, 0, 0}},   {31, 31, 2, {1, 0, 0, 0, 0, 0}}, {32, 31, 1, {0, 1, 0, 0, 0, 0}},
      {69, 39, 0, {0, 0, 0, 0, 0, 1}}, {64, 32, 3, {0, 0, 0, 0, 0, 1}}, {40, 35, 0, {0, 0, 0, 0, 1, 0}},
  };
  const PixelBuffer before = padded(70, 40);
  for (const auto& c : cases) {
    const PixelBuffer after = padded(70, 40);
    at(after, c.x, c.y)[c.byte] ^= 1;
    at(after, 69, 0)[4] ^= 1;  // padding beyond the row is no pixel
    EXPECT_EQ(changedTiles(before, after), c.expected) << c.x << "," << c.y;
  }
  EXPECT_EQ(changedTiles(before, padded(70, 40)), std::vector<uint8_t>(6, 0));
}

TEST(TileDiff, DamageLimitsTheLookToTheTilesItTouches) {
  // Across a tile edge, cut by the picture's edge, outside it.
  EXPECT_EQ(tilesTouched({{31, 0, 2, 1}, {64, 35, 50, 50}, {-10, 0, 5, 5}}, TileGrid{70, 40}),
            (std::vector<uint8_t>{1, 1, 0, 0, 0, 1}));
  EXPECT_EQ(scaledRects({{10, 10, 1, 1}}, 100, 100, 50, 50, 2), (std::vector<PixelRect>{{3, 3, 5, 5}}));
  const PixelBuffer before = padded(70, 40), after = padded(70, 40);
  at(after, 0, 0)[0] ^= 1;
  at(after, 40, 35)[0] ^= 1;
  const std::vector<uint8_t> damaged{0, 0, 0, 0, 1, 1};
  EXPECT_EQ(changedTiles(before, after, &damaged), (std::vector<uint8_t>{0, 0, 0, 0, 1, 0}));
}

TEST(TileClassifier, CountsDistinctColoursUpToTheLimitIgnoringTheFourthByte) {
  const struct {
    int colours;  // distinct, each in a run of 3 pixels, the last repeated to the end
    int limit;
    bool few;
  } cases[] = {{1, 256, true}, {256, 256, true}, {257, 256, false}, {4, 3, false}, {3, 3, true}};
  for (const auto& c : cases) {
    const PixelBuffer p = padded(32, 32);
    for (int i = 0; i < 32 * 32; ++i) {
      const uint32_t colour = std::min(i / 3, c.colours - 1) * 40503u | uint32_t(i) << 24;  // 4th byte varies
      std::memcpy(at(p, i % 32, i / 32), &colour, 4);
    }
    EXPECT_EQ(hasFewColours(p, 0, 0, 32, 32, c.limit), c.few) << c.colours << " of " << c.limit;
  }
  const PixelBuffer p = padded(64, 32);  // only the area asked about counts
  for (int i = 0; i < 32 * 32; ++i) std::memcpy(at(p, 32 + i % 32, i / 32), &i, 2);
  EXPECT_TRUE(hasFewColours(p, 0, 0, 32, 32));
  EXPECT_FALSE(hasFewColours(p, 32, 0, 32, 32));
}

TEST(TileRects, RunsAlongRowsGrowDownOverEqualRunsOfOneClass) {
  const struct {
    const char* classes;  // 4 x 3, row by row
    std::vector<TileRect> expected;
  } cases[] = {
      {"000000000000", {}},
      {"112211220110", {{0, 0, 2, 2, 1}, {2, 0, 2, 2, 2}, {1, 2, 2, 1, 1}}},
      {"101011101010", {{0, 0, 1, 1, 1}, {2, 0, 1, 1, 1}, {0, 1, 3, 1, 1}, {0, 2, 1, 1, 1}, {2, 2, 1, 1, 1}}},
      {"330133013302", {{0, 0, 2, 3, 3}, {3, 0, 1, 2, 1}, {3, 2, 1, 1, 2}}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> classes;
    for (const char* k = c.classes; *k; ++k) classes.push_back(static_cast<uint8_t>(*k - '0'));
    EXPECT_EQ(mergeTiles(classes, 4, 3), c.expected) << c.classes;
  }
}

TEST(PictureEncoder, LargeChangesInQuickSuccessionGoLossyAndComeBackExactWhenStill) {
  using namespace std::chrono_literals;
  test::FakeImageContext images;
  PictureEncoder encoder(images);
  const auto t0 = std::chrono::steady_clock::time_point{} + 10s;
  // A 640 x 320 picture of text-like tiles (few colours); which rects a step sends, "p" PNG, "j" JPEG,
  // "h" JPEG at half the resolution.
  const struct {
    std::chrono::milliseconds at;
    int changedTiles;  // from the top-left, row by row; -1: no new picture
    std::string kinds;
  } steps[] = {
      {0ms, 200, "p"},      // the whole picture
      {1000ms, 200, "p"},   // a large change after a still second: lossless
      {1100ms, 200, "h"},   // again at once: moving, lossy and halved
      {1200ms, 1, "p"},     // a small change (typing) stays lossless even while moving
      {1300ms, -1, ""},     // not yet still long enough
      {1450ms, -1, "pp"},   // still: the lossy tiles (all but the first) come back exact
      {1800ms, -1, ""},     // and then nothing more
  };
  int shade = 0;
  for (const auto& step : steps) {
    PixelBuffer picture = padded(640, 320);
    if (step.changedTiles >= 0) {
      ++shade;
      for (int i = 0; i < 200; ++i) {
        const int value = i < step.changedTiles ? shade : shade - 1;
        for (int y = 0; y < 32; ++y) std::memset(at(picture, i % 20 * 32, i / 20 * 32 + y), value, 32 * 4);
      }
    }
    auto jpeg = images.jpegWidths.size();
    auto update = encoder.makeUpdate(step.changedTiles >= 0 ? &picture : nullptr, std::nullopt, {}, t0 + step.at);
    std::string kinds;
    if (update) {
      for (const auto& rect : update->header.rects) {
        kinds += rect.kind == RectKind::png ? "p" : images.jpegWidths.at(jpeg++) < rect.width ? "h" : "j";
      }
      encoder.sent(std::move(*update));
    }
    EXPECT_EQ(kinds, step.kinds) << step.at.count() << " ms";
  }
}

// A change drawn between the damage's fetch and the grab is in the picture before its damage comes
// (with the next sample): it must still be sent then.
TEST(PictureEncoder, AChangeThatIsPicturedBeforeItsDamageIsSentWhenTheDamageComes) {
  test::FakeImageContext images;
  PictureEncoder encoder(images);
  const auto t0 = std::chrono::steady_clock::now();
  encoder.sent(*encoder.makeUpdate(&static_cast<const PixelBuffer&>(padded(70, 40)), std::nullopt, {}, t0));
  const PixelBuffer picture = padded(70, 40);
  at(picture, 0, 0)[0] ^= 1;   // its damage comes now
  at(picture, 40, 35)[0] ^= 1;  // its damage comes with the next sample
  const std::vector<std::pair<std::vector<uint8_t>, int>> steps = {{{1, 0, 0, 0, 0, 0}, 0}, {{0, 0, 0, 0, 1, 0}, 32}};
  for (const auto& [damaged, x] : steps) {
    auto update = encoder.makeUpdate(&picture, std::nullopt, {}, t0, &damaged);
    ASSERT_TRUE(update && update->header.rects.size() == 1);
    EXPECT_EQ(update->header.rects[0].x, x);
    encoder.sent(std::move(*update));
  }
}

// A header longer than the agent reads would lose the update: a change scattered over a 5K-class
// screen goes as one photograph around it, and comes back exact once still.
TEST(PictureEncoder, AChangeScatteredOverTooManyRectanglesGoesAsOne) {
  using namespace std::chrono_literals;
  test::FakeImageContext images;
  PictureEncoder encoder(images);
  const auto t0 = std::chrono::steady_clock::time_point{} + 10s;
  const std::vector<std::pair<std::chrono::milliseconds, std::string>> steps = {{0ms, "p"}, {1s, "1j"}, {2s, "p"}};
  for (const auto& [after, expected] : steps) {
    PixelBuffer picture = padded(4096, 2304);
    for (int row = 0; after == 1s && row < 72; ++row) {
      for (int column = row % 2; column < 128; column += 2) *at(picture, column * 32, row * 32) = 1;  // a checkerboard
    }
    auto update = encoder.makeUpdate(after == 2s ? nullptr : &picture, std::nullopt, {}, t0 + after);
    ASSERT_TRUE(update);
    std::string kinds = after == 1s ? std::to_string(update->header.rects.size()) : "";
    for (const auto& rect : update->header.rects) kinds += rect.kind == RectKind::png ? "p" : "j";
    if (after == 2s) kinds.erase(std::unique(kinds.begin(), kinds.end()), kinds.end());
    EXPECT_EQ(kinds, expected);
    encoder.sent(std::move(*update));
  }
}

// A text page under a still heading scrolls by three 13-pixel lines, its scroll bar's thumb moving:
// one copy and what it leaves (the exposed lines, the bar) make the new picture from the old, exactly.
TEST(PictureEncoder, AScrollGoesAsOneCopyAndTheStripItExposes) {
  test::FakeImageContext images;
  PictureEncoder encoder(images);
  const auto page = [](int offset) {
    PixelBuffer p = padded(640, 480);
    for (int i = 0; i < 640 * 448; ++i) {  // text, and the scroll bar's thumb at the right
      const int x = i % 640, y = 32 + i / 640, row = y - 32 + offset;
      if (x < 620 ? row % 13 < 9 && ((x * 2654435761u ^ row * 40503u) >> 7) % 5 == 0 : y / 40 == offset / 39) *at(p, x, y) = row / 13;
    }
    return p;
  };
  const PixelBuffer before = page(0), after = page(39);
  const auto now = std::chrono::steady_clock::time_point{} + std::chrono::seconds(10);
  encoder.sent(encoder.makeUpdate(&before, std::nullopt, {}, now).value());
  EXPECT_NE(encoder.makeUpdate(&after, std::nullopt, {}, now).value().header.rects[0].kind, RectKind::copy);  // unasked
  const auto rects = encoder.makeUpdate(&after, std::nullopt, {1, 1, 0.65, false, true}, now).value().header.rects;
  ASSERT_EQ(std::make_tuple(rects[0].kind, rects[0].sourceY - rects[0].y), std::make_tuple(RectKind::copy, 39));
  const PixelBuffer result = withCopy(before, {rects[0].x, rects[0].y, rects[0].width, rects[0].height, 39});
  int sent = 0;
  for (const UpdateRect& r : std::vector(rects.begin() + 1, rects.end())) {
    for (int y = r.y; y < r.y + r.height; ++y) std::memcpy(at(result, r.x, y), at(after, r.x, y), r.width * 4), sent += r.width;
  }
  for (int y = 0; y < 480; ++y) ASSERT_EQ(std::memcmp(at(result, 0, y), at(after, 0, y), 640 * 4), 0) << y;
  EXPECT_LT(sent, 640 * 480 / 4);
}

}  // namespace
}  // namespace qova
