// The tile logic of the richer picture: which tiles changed, which are lossless, and how they join.
#include <gtest/gtest.h>

#include <cstring>

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

TEST(TileClassifier, CountsDistinctColoursUpToTheLimitIgnoringTheFourthByte) {
  const struct {
    int colours;  // distinct, each in a run of 3 pixels, the last repeated to the end
    int limit;
    bool few;
  } cases[] = {{1, 256, true}, {256, 256, true}, {257, 256, false}, {300, 256, false}, {4, 3, false}, {3, 3, true}};
  for (const auto& c : cases) {
    const PixelBuffer p = padded(32, 32);
    for (int i = 0; i < 32 * 32; ++i) {
      const int colour = std::min(i / 3, c.colours - 1) * 40503;  // spread over all three bytes
      uint8_t* pixel = at(p, i % 32, i / 32);
      pixel[0] = colour & 0xFF, pixel[1] = (colour >> 8) & 0xFF, pixel[2] = (colour >> 16) & 0xFF;
      pixel[3] = static_cast<uint8_t>(i);
    }
    EXPECT_EQ(hasFewColours(p, 0, 0, 32, 32, c.limit), c.few) << c.colours << " of " << c.limit;
  }
  // Only the area asked about counts.
  const PixelBuffer p = padded(64, 32);
  for (int i = 0; i < 32 * 32; ++i)
    at(p, 32 + i % 32, i / 32)[0] = static_cast<uint8_t>(i),
                           at(p, 32 + i % 32, i / 32)[1] = static_cast<uint8_t>(i >> 8);
  EXPECT_TRUE(hasFewColours(p, 0, 0, 32, 32));
  EXPECT_FALSE(hasFewColours(p, 32, 0, 32, 32));
}

TEST(TileRects, RunsAlongRowsGrowDownOverEqualRunsOfOneClass) {
  const struct {
    std::vector<uint8_t> classes;  // 4 x 3
    std::vector<TileRect> expected;
  } cases[] = {
      {std::vector<uint8_t>(12, 0), {}},
      {std::vector<uint8_t>(12, 2), {{0, 0, 4, 3, 2}}},
      {{1, 1, 2, 2,  //
        1, 1, 2, 2,  //
        0, 1, 1, 0},
       {{0, 0, 2, 2, 1}, {2, 0, 2, 2, 2}, {1, 2, 2, 1, 1}}},
      {{1, 0, 1, 0,  //
        1, 1, 1, 0,  //
        1, 0, 1, 0},
       {{0, 0, 1, 1, 1}, {2, 0, 1, 1, 1}, {0, 1, 3, 1, 1}, {0, 2, 1, 1, 1}, {2, 2, 1, 1, 1}}},
      {{3, 3, 0, 1,  //
        3, 3, 0, 1,  //
        3, 3, 0, 2},
       {{0, 0, 2, 3, 3}, {3, 0, 1, 2, 1}, {3, 2, 1, 1, 2}}},
  };
  for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(mergeTiles(cases[i].classes, 4, 3), cases[i].expected) << i;
}

}  // namespace
}  // namespace qova
