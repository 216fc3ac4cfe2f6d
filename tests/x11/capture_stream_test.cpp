// The capture path on a real X server: MIT-SHM frames at the configured size, idle samples from
// XDamage, the XFixes cursor, pacing, queue depth and a display that goes away; then the image path
// (TurboJPEG encoding, libyuv resampling, the cursor overlay).
#include <gtest/gtest.h>

#include <future>
#include <mutex>

#include "base/serial_queue.h"
#include "capture/frame_pacer.h"
#include "platform/linux/bgra_scaler.h"
#include "platform/linux/cursor_overlay.h"
#include "platform/linux/turbojpeg_imaging.h"
#include "platform/linux/xshm_screen_capture.h"
#include "support/recording_stream_client.h"
#include "support/test_bundle.h"
#include "test_screen.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

struct RunningStream {
  std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.stream");
  std::shared_ptr<ScreenStream> stream;
  bool start(int width, int height, int fps = 10, intptr_t depth = 2, bool reportsCursor = false) {
    XShmScreenCapture capture;
    const auto content = capture.shareableContent();
    if (!content || content->displays.empty()) return false;
    stream = capture.makeStream(
        content->displays.front(),
        {width, height, {1, fps}, depth, !reportsCursor, reportsCursor, std::make_shared<FramePacer>(1000ms / fps)},
        client, queue);
    return stream && stream->startCapture();
  }
  ~RunningStream() {
    if (stream) stream->stopCapture();
  }
};

// Dark pixels around (x, y): the cursor's outline on white.
int darkAround(const PixelBuffer& p, int x, int y) {
  int dark = 0;
  for (int dy = -12; dy < 24; ++dy) {
    for (int dx = -12; dx < 24; ++dx) dark += pixelAt(p, x + dx, y + dy)[1] < 100;
  }
  return dark;
}

TEST(XShmScreenCapture, ListsTheScreenAndDeliversPacedScaledFramesWithTheCursorAndIdleSamplesUntilAChange) {
  const auto content = XShmScreenCapture().shareableContent();  // the screen, as its RandR output
  ASSERT_TRUE(content && content->displays.size() == 1);
  EXPECT_EQ(std::make_tuple(content->displays[0].width, content->displays[0].height), std::make_tuple(1440, 900));
  EXPECT_NE(content->displays[0].displayId, 0u);
  TestScreen painter;
  painter.show(blockPattern(1440, 900));
  painter.warpPointer(100, 500);  // over the white block
  RunningStream running;
  ASSERT_TRUE(running.start(1280, 800));
  const auto first = running.client->waitFor(0, isComplete);
  ASSERT_TRUE(first);
  const PixelBuffer picture = *running.client->all()[*first].imageBuffer;
  ASSERT_EQ(std::make_pair(picture.width, picture.height), std::make_pair(1280, 800));
  expectBlocks(picture, 3);
  EXPECT_GT(darkAround(picture, 89, 444), 10);

  // Nothing changes: idle samples without pixels, until the pointer moves or the screen changes.
  const auto idle = running.client->waitFor(
      *first + 1, [](const ScreenSample& s) { return s.status == FrameStatus::idle && !s.imageBuffer; });
  ASSERT_TRUE(idle);
  painter.warpPointer(300, 800);
  const auto moved = running.client->waitFor(*idle + 1, isComplete);
  ASSERT_TRUE(moved);
  EXPECT_GT(darkAround(*running.client->all()[*moved].imageBuffer, 267, 711), 10);
  const PixelBuffer greener = blockPattern(1440, 900);
  for (int i = 0; i < 2500; ++i) pixelAt(greener, 100 + i % 50, 100 + i / 50)[1] = 255;  // full green in the red block
  painter.show(greener);
  const auto changed = running.client->waitFor(*moved + 1, [](const ScreenSample& s) {
    return isComplete(s) && pixelAt(*s.imageBuffer, 111, 111)[1] > 200;  // green, scaled by 1280/1440
  });
  EXPECT_TRUE(changed);

  // Frames come no faster than the frame interval, and no sample after a stop, which reports nothing.
  EXPECT_TRUE(running.stream->stopCapture());
  running.queue->drain();
  const auto samples = running.client->all();
  std::vector<std::chrono::steady_clock::time_point> frames;
  for (const auto& s : samples) {
    if (isComplete(s)) frames.push_back(s.presentationTime);
  }
  for (size_t i = 1; i < frames.size(); ++i) EXPECT_GE(frames[i] - frames[i - 1], 100ms);
  std::this_thread::sleep_for(200ms);
  running.queue->drain();
  EXPECT_EQ(running.client->all().size(), samples.size());
  EXPECT_EQ(running.client->stops.load(), 0);
  EXPECT_FALSE(running.stream->stopCapture());
}

TEST(XShmScreenStream, ReportsThePointerAndItsMovesAndShapesInsteadOfDrawingIt) {
  ASSERT_TRUE(XShmScreenCapture().canReportCursor());
  TestScreen painter;
  painter.show(blockPattern(1440, 900));
  painter.warpPointer(100, 500);  // over the white block
  RunningStream running;
  ASSERT_TRUE(running.start(1440, 900, 10, 2, true));
  const auto first = running.client->waitFor(0, isComplete);
  ASSERT_TRUE(first);
  const CursorState start = running.client->all()[*first].cursor.value_or(CursorState{});
  EXPECT_EQ(darkAround(*running.client->all()[*first].imageBuffer, 100, 500), 0);
  ASSERT_TRUE(start.image);
  EXPECT_EQ(std::make_tuple(start.x, start.y, start.visible), std::make_tuple(100, 500, true));
  const auto idleWith = [&](const std::function<bool(const CursorState&)>& want) {
    const auto found =
        running.client->waitFor(*first + 1, [&](const ScreenSample& s) { return s.cursor && want(*s.cursor); });
    const auto sample = found ? running.client->all()[*found] : ScreenSample{};
    return sample.status == FrameStatus::idle && !sample.imageBuffer ? sample.cursor : std::nullopt;
  };

  painter.warpPointer(300, 800);
  const auto moved = idleWith([](const CursorState& c) { return c.x == 300 && c.y == 800; });
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->image, start.image);  // the same shape, shared
  painter.setHalfRedCursor(3, 5);
  const auto shaped = idleWith([&](const CursorState& c) { return c.image->serial != start.image->serial; });
  ASSERT_TRUE(shaped);
  const CursorImage& image = *shaped->image;
  EXPECT_EQ(std::make_tuple(image.width, image.height, image.hotX, image.hotY), std::make_tuple(16, 8, 3, 5));
  ASSERT_EQ(image.rgba.size(), 16u * 8 * 4);  // red top left, transparent bottom right
  EXPECT_EQ(std::vector<uint8_t>(image.rgba.begin(), image.rgba.begin() + 4), (std::vector<uint8_t>{255, 0, 0, 255}));
  EXPECT_EQ(std::vector<uint8_t>(image.rgba.end() - 4, image.rgba.end()), (std::vector<uint8_t>{0, 0, 0, 0}));

  // With the pointer apart, a change's sample says where it is from XDamage.
  painter.fillBlack(600, 400, 20, 10);
  const auto changed = running.client->waitFor(*first + 1, [](const ScreenSample& s) { return isComplete(s); });
  ASSERT_TRUE(changed && running.client->all()[*changed].damage);
  const auto damage = *running.client->all()[*changed].damage;
  EXPECT_TRUE(std::any_of(damage.begin(), damage.end(), [](const PixelRect& r) {
    return r.x <= 600 && r.y <= 400 && r.x + r.width >= 620 && r.y + r.height >= 410;
  }));
  int64_t area = 0;
  for (const PixelRect& r : damage) area += int64_t(r.width) * r.height;
  EXPECT_LT(area, 1440 * 900 / 4);
}

TEST(XShmScreenStream, NoMoreSamplesThanTheQueueDepthWaitUnhandled) {
  RunningStream running;
  std::promise<void> release;  // the queue is held up, as a slow pipeline would hold it
  running.queue->async([held = release.get_future().share()] { held.wait(); });
  ASSERT_TRUE(running.start(320, 200, 50, 2));
  std::this_thread::sleep_for(1s);  // 50 ticks, even on a busy machine more than two
  release.set_value();
  running.queue->drain();
  EXPECT_EQ(running.client->all().size(), 2u);
}

TEST(XShmScreenStream, AServerThatGoesAwayEndsTheStreamWithOneStopNotice) {
  auto server = std::make_unique<XvfbServer>(800, 600);
  ASSERT_TRUE(server->running());
  RunningStream running;
  ASSERT_TRUE(running.start(800, 600));
  ASSERT_TRUE(running.client->waitFor(0, isComplete));
  server.reset();  // kills that X server; the test program's own one stays
  waitUntil([&] { return running.client->stops > 0; }, 10s);
  running.stream.reset();
  EXPECT_EQ(running.client->stops.load(), 1);
}

// One-pixel black lines on white, one every `period` columns: detail a point-sampling reduction
// either loses or blows up, while an area average turns it into an even grey.
PixelBuffer stripes(int width, int height, int period) {
  const PixelBuffer p = picture(width, height, 255);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; x += period) std::fill_n(pixelAt(p, x, y), 3, 0);
  }
  return p;
}

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
