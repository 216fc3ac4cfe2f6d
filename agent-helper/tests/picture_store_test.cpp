// The picture store at its own level: viewers are grids of tile versions painted from what they are sent.
#include <gtest/gtest.h>

#include <random>

#include "picture_store.h"
#include "quality_tuner.h"

namespace qova::agent {
namespace {

constexpr int kTile = 32, kColumns = 7, kRows = 5;
constexpr int kWidth = kColumns * kTile - 9, kHeight = kRows * kTile - 3;  // ragged right and bottom edges

using Grid = std::vector<std::string>;  // per tile, the bytes of the rect painted last

// Rects of tiles (column, row, columns, rows) with the given bytes, clipped at the picture's edge.
UpdateMessage updateOf(std::vector<std::pair<std::array<int, 4>, std::string>> rects, bool full = false) {
  UpdateMessage update;
  update.width = update.inputWidth = kWidth, update.height = update.inputHeight = kHeight, update.full = full;
  for (auto& [t, bytes] : rects) {
    const int x = t[0] * kTile, y = t[1] * kTile;
    update.rects.push_back({x, y, std::min(t[2] * kTile, kWidth - x), std::min(t[3] * kTile, kHeight - y), 0, bytes.size()});
    update.payload += bytes;
  }
  return update;
}

void paint(Grid& grid, const UpdateRect& r, const std::string& bytes) {
  for (int tile = 0; tile < kColumns * kRows; ++tile) {
    if (tile % kColumns * kTile >= r.x && tile % kColumns * kTile < r.x + r.w && tile / kColumns * kTile >= r.y && tile / kColumns * kTile < r.y + r.h) grid[tile] = bytes;
  }
}

void paint(Grid& grid, const UpdateMessage& update) {
  std::size_t offset = 0;
  for (const auto& rect : update.rects) paint(grid, rect, update.payload.substr(offset, rect.length)), offset += rect.length;
}

// Sends `viewer` what it is owed and acks it, as the page does, until nothing is left.
int catchUp(PictureStore& store, std::uint64_t viewer, Grid& grid, std::optional<CursorPosition>* pointer = nullptr) {
  int updates = 0;
  for (; auto update = store.compose(viewer); ++updates) {
    if (pointer && update->cursor) *pointer = update->cursor;
    for (const auto& rect : update->rects) paint(grid, rect->place, rect->bytes);
    EXPECT_TRUE(store.acknowledge(viewer, update->seq));
  }
  return updates;
}

UpdateMessage randomUpdate(std::mt19937& random, int number) {
  std::vector<std::pair<std::array<int, 4>, std::string>> rects;
  for (int i = 0, n = 1 + random() % 4; i < n; ++i) {
    const int column = random() % kColumns, row = random() % kRows;
    const int columns = 1 + random() % (kColumns - column), rows = 1 + random() % (kRows - row);
    rects.push_back({{column, row, columns, rows}, std::to_string(number) + "." + std::to_string(i) + std::string(random() % 300, '.')});
  }
  return updateOf(rects);
}

TEST(PictureStore, ViewersThatLagJoinLateOrGetSplitUpdatesEndOnTheNewestPicture) {
  std::mt19937 random(7);
  PictureStore store(1000);  // small enough that catching up takes several updates
  store.reset(kTile);
  Grid truth(kColumns * kRows), keen = truth, slow = truth, late = truth;
  auto full = updateOf({{{0, 0, kColumns, kRows}, "whole"}}, true);
  full.cursor = CursorPosition{3, 4, true};
  full.shape = CursorShape{9, 1, 1, 0, 0, "RGBA"};
  paint(truth, full);
  store.addViewer(1), store.addViewer(2);
  ASSERT_TRUE(store.apply(full));
  const auto stalled = store.compose(2);  // drawn, but its ack comes only at the end
  ASSERT_TRUE(stalled && stalled->rects.size() == 1 && stalled->cursor && stalled->shape);
  paint(slow, stalled->rects[0]->place, stalled->rects[0]->bytes);
  auto moved = updateOf({});
  for (int number = 1; number <= 300; ++number) {
    const auto update = randomUpdate(random, number);
    paint(truth, update);
    ASSERT_TRUE(store.apply(update));
    if (number == 150) store.addViewer(3);
    if (number == 200) store.apply((moved.cursor = CursorPosition{5, 6, false}, moved));
    catchUp(store, 1, keen);
    ASSERT_EQ(keen, truth) << number;
    EXPECT_FALSE(store.compose(2)) << "one update in flight";
  }
  EXPECT_FALSE(store.acknowledge(2, stalled->seq + 1));
  EXPECT_TRUE(store.acknowledge(2, stalled->seq));
  std::optional<CursorPosition> pointer;
  EXPECT_GT(catchUp(store, 2, slow, &pointer), 1);
  EXPECT_EQ(slow, truth);
  EXPECT_EQ(pointer, (CursorPosition{5, 6, false}));
  catchUp(store, 3, late);
  EXPECT_EQ(late, truth);
}

TEST(PictureStore, HoldingFarMoreThanAWholePictureOrMissingOneAsksForAWholeOnceUntilItComes) {
  PictureStore store;
  store.reset(kTile);
  EXPECT_FALSE(store.apply(updateOf({{{0, 0, 1, 1}, "x"}})));
  EXPECT_TRUE(store.takeRefreshWish());
  EXPECT_FALSE(store.takeRefreshWish());
  store.apply(updateOf({{{0, 0, kColumns, kRows}, std::string(100, 'w')}}, true));
  auto resized = updateOf({{{0, 0, 1, 1}, "x"}});
  EXPECT_FALSE(store.apply((resized.width += kTile, resized)));  // a new size comes only as a whole picture
  EXPECT_FALSE(store.takeRefreshWish());
  // Refined, the picture holds far more than it came as, yet less than its raw pixels.
  constexpr std::size_t kRaw = std::size_t{kWidth} * kHeight * 4, kBig = kRaw * 2 / 9;
  store.apply(updateOf({{{0, 0, kColumns, kRows}, std::string(kRaw - 1, 'r')}}));
  EXPECT_FALSE(store.takeRefreshWish());
  // Each big rect stays held for the one tile nobody painted over since.
  for (int i = 0; i < 4; ++i) store.apply(updateOf({{{i, 0, kColumns - i, kRows}, std::string(kBig, 'a' + i)}}));
  EXPECT_FALSE(store.takeRefreshWish());
  store.apply(updateOf({{{4, 0, 3, kRows}, std::string(kBig, 'e')}}));
  EXPECT_GT(store.heldBytes(), kRaw);
  EXPECT_TRUE(store.takeRefreshWish());
  EXPECT_FALSE(store.takeRefreshWish());
}

// One byte a pixel, to see copies move them: a rect's bytes are its pixels row by row.
constexpr int kSide = 32;
void draw(std::string& pixels, const UpdateRect& r, const std::string& bytes) {
  const std::string before = pixels;
  for (int i = 0; i < r.w * r.h; ++i) pixels[(r.y + i / r.w) * kSide + r.x + i % r.w] = r.kind == kCopyRect ? before[(r.sy + i / r.w) * kSide + r.sx + i % r.w] : bytes[i];
}

struct Seen {
  std::string pixels = std::string(kSide * kSide, '?');
  std::optional<std::uint64_t> held;
  int copies = 0;
  void take(PictureStore& store, std::uint64_t id, bool hold) {
    if (held) EXPECT_TRUE(store.acknowledge(id, *std::exchange(held, std::nullopt)));
    for (auto update = store.compose(id); update; update = hold ? std::nullopt : store.compose(id)) {
      for (const auto& rect : update->rects) draw(pixels, rect->place, rect->bytes), copies += rect->place.kind == kCopyRect;
      if (hold) held = update->seq; else EXPECT_TRUE(store.acknowledge(id, update->seq));
    }
  }
};

// Viewer 1 keeps up; viewer 2 follows the steps: s scroll six rows (24 move as whole tiles, 8 are
// sent), p paint a row of tiles, h take an update and hold its ack, c catch up, j leave and join again.
// A wish for a whole picture is answered at once.
TEST(PictureStore, CopiesReachOnlyViewersThatHoldTheirSourceAndTheRestEndOnTheSamePicture) {
  const struct { std::string steps; bool wish, copies; } cases[] = {  // a whole picture was asked for; viewer 2 was sent copies
      {"sc sc pc sc", false, true}, {"h s s p s c", false, true}, {"h ssssssss cc", true, false}, {"sc sc s j c", true, true}};
  for (const auto& c : cases) {
    PictureStore store;
    std::string truth(kSide * kSide, 0);
    std::mt19937 random(3);
    const auto send = [&](std::vector<UpdateRect> rects, int from, int to, bool full = false) {
      std::generate(truth.begin() + from, truth.begin() + to, [&] { return static_cast<char>(random()); });
      UpdateMessage update{kSide, kSide, kSide, kSide, 0, full};
      for (auto r : rects) {
        for (int i = 0; r.kind != kCopyRect && i < r.w * r.h; ++i, ++r.length) update.payload += truth[(r.y + i / r.w) * kSide + r.x + i % r.w];
        update.rects.push_back(r);
      }
      EXPECT_TRUE(store.apply(update));
    };
    store.reset(4), store.addViewer(1), store.addViewer(2);
    send({{0, 0, kSide, kSide, 0}}, 0, kSide * kSide, true);
    Seen keen, seen;
    bool wished = false;
    for (const char step : "c" + c.steps) {
      if (step == 's') std::copy(truth.begin() + 6 * kSide, truth.end(), truth.begin()), send({{0, 0, kSide, 24, kCopyRect, 0, 0, 6}, {0, 24, kSide, 8, 0}}, 26 * kSide, kSide * kSide);
      if (step == 'p') send({{0, 8, kSide, 4, 1}}, 8 * kSide, 12 * kSide);
      if (step == 'h' || step == 'c') seen.take(store, 2, step == 'h');
      if (step == 'j') store.removeViewer(2), store.addViewer(2), seen.pixels.assign(kSide * kSide, '?');
      if (store.takeRefreshWish()) wished = true, send({{0, 0, kSide, kSide, 0}}, 0, 0, true);
      keen.take(store, 1, false);
      ASSERT_EQ(keen.pixels, truth) << c.steps;
    }
    EXPECT_EQ(seen.pixels, truth) << c.steps;
    EXPECT_EQ(std::make_pair(wished, seen.copies > 0), std::make_pair(c.wish, c.copies)) << c.steps;
  }
}

TEST(QualityTuner, StepsDownWhileSlowAtMostOnceASecondAndBackUpOnlyAfterBeingQuickForAWhile) {
  using namespace std::chrono_literals;
  QualityTuner tuner;
  auto now = QualityTuner::Clock::time_point{} + 1h;
  const std::tuple<std::chrono::milliseconds, std::chrono::milliseconds, std::optional<double>> steps[] = {
      {0ms, 40ms, std::nullopt}, {0ms, 400ms, 0.5}, {500ms, 400ms, std::nullopt}, {600ms, 400ms, 0.4}, {1s, 100ms, std::nullopt},
      {5s, 100ms, std::nullopt}, {1s, 30ms, std::nullopt}, {2s, 30ms, std::nullopt}, {1s, 30ms, 0.5}, {1s, 30ms, std::nullopt},
      {2s, 30ms, 0.65}, {10s, 30ms, std::nullopt},
  };
  for (const auto& [after, slowest, expected] : steps) {
    now += after;
    EXPECT_EQ(tuner.observe(slowest, now), expected) << slowest.count() << " ms at +" << after.count();
  }
}

}  // namespace
}  // namespace qova::agent
