// The X11 screen stream on a real X server: MIT-SHM frames at the configured size, idle samples
// from XDamage, the XFixes cursor, pacing, queue depth and a display that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include "base/serial_queue.h"
#include "capture_test_screen.h"
#include "platform/linux/xshm_screen_capture.h"
#include "support/xvfb_server.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

class RecordingClient : public ScreenStreamClient {
 public:
  void didOutputSample(const ScreenSample& sample) override {
    std::lock_guard lock(mutex_);
    samples_.push_back(sample);
    changed_.notify_all();
  }
  void didStopWithError() override {
    std::lock_guard lock(mutex_);
    ++stops_;
    changed_.notify_all();
  }
  std::vector<ScreenSample> samples() {
    std::lock_guard lock(mutex_);
    return samples_;
  }
  int stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }
  // Waits (bounded) for a sample after index `from` that satisfies `want`; its index.
  std::optional<size_t> waitFor(size_t from, const std::function<bool(const ScreenSample&)>& want) {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, 5s, [&] {
      for (size_t i = from; i < samples_.size() && !found; ++i) {
        if (want(samples_[i])) found = i;
      }
      return found.has_value() || stops_ > 0;
    });
    return found;
  }
  bool waitStopped() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return stops_ > 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ScreenSample> samples_;
  int stops_ = 0;
};

bool isComplete(const ScreenSample& s) { return s.status == FrameStatus::complete && s.imageBuffer; }

struct RunningStream {
  std::shared_ptr<RecordingClient> client = std::make_shared<RecordingClient>();
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.stream");
  std::shared_ptr<ScreenStream> stream;
  bool start(int width, int height, int fps = 10, intptr_t depth = 2) {
    XShmScreenCapture capture;
    const auto content = capture.shareableContent();
    if (!content || content->displays.empty()) return false;
    stream = capture.makeStream(content->displays.front(), {width, height, {1, fps}, depth, true}, client, queue);
    return stream && stream->startCapture();
  }
  ~RunningStream() {
    if (stream) stream->stopCapture();
  }
};

TEST(XShmScreenCapture, ListsTheScreenAsOneRandrDisplayOfItsSize) {
  const auto content = XShmScreenCapture().shareableContent();
  ASSERT_TRUE(content);
  ASSERT_EQ(content->displays.size(), 1u);
  EXPECT_EQ(content->displays[0].width, 1440);
  EXPECT_EQ(content->displays[0].height, 900);
  EXPECT_NE(content->displays[0].displayId, 0u);
}

TEST(XShmScreenStream, DeliversScaledFramesThenIdleSamplesUntilTheScreenChanges) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  painter.warpPointer(1439, 899);
  painter.show(blockPattern(1440, 900));
  RunningStream running;
  ASSERT_TRUE(running.start(1280, 800));
  const auto first = running.client->waitFor(0, isComplete);
  ASSERT_TRUE(first);
  const Picture picture = pictureOf(*running.client->samples()[*first].imageBuffer);
  ASSERT_EQ(std::make_pair(picture.width, picture.height), std::make_pair(1280, 800));
  expectBlocks(picture, 3);

  // Nothing changes: idle samples without pixels follow, until a change brings a complete frame.
  const auto idle = running.client->waitFor(*first + 1, [](const ScreenSample& s) {
    return s.status == FrameStatus::idle && !s.imageBuffer;
  });
  ASSERT_TRUE(idle);
  painter.fill(100, 100, 50, 50, 0x00FF00);
  const auto changed = running.client->waitFor(*idle + 1, isComplete);
  ASSERT_TRUE(changed);
  const Picture after = pictureOf(*running.client->samples()[*changed].imageBuffer);
  EXPECT_GT(after.at(111, 111)[1], 200);  // the new green square, scaled by 1280/1440
  EXPECT_LT(after.at(111, 111)[0], 60);
}

TEST(XShmScreenStream, DrawsTheCursorIntoTheFrame) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  painter.fill(0, 0, 1440, 900, 0xFFFFFF);
  RunningStream running;
  ASSERT_TRUE(running.start(1440, 900));  // unscaled, so the cursor is found where the pointer is
  ASSERT_TRUE(running.client->waitFor(0, isComplete));
  const size_t seen = running.client->samples().size();
  painter.warpPointer(700, 400);
  const auto moved = running.client->waitFor(seen, isComplete);
  ASSERT_TRUE(moved);
  const Picture frame = pictureOf(*running.client->samples()[*moved].imageBuffer);
  int dark = 0;
  for (int y = 380; y < 420; ++y) {
    for (int x = 680; x < 720; ++x) dark += frame.at(x, y)[1] < 128;
  }
  EXPECT_GT(dark, 10);  // the cursor's outline on a white screen
  EXPECT_GT(frame.at(100, 100)[1], 250);
}

TEST(XShmScreenStream, SamplesComeNoFasterThanTheMinimumInterval) {
  ScreenPainter painter;
  RunningStream running;
  ASSERT_TRUE(running.start(640, 400, 10));
  painter.keepChanging(0, 0, 64, 10ms, 1500ms);
  const auto samples = running.client->samples();
  ASSERT_GE(samples.size(), 5u);
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_GE(samples[i].presentationTime - samples[i - 1].presentationTime, 90ms);
  }
}

TEST(XShmScreenStream, NoMoreSamplesThanTheQueueDepthWaitUnhandled) {
  ScreenPainter painter;
  RunningStream running;
  std::promise<void> release;  // the queue is held up, as a slow pipeline would hold it
  running.queue->async([held = release.get_future().share()] { held.wait(); });
  ASSERT_TRUE(running.start(320, 200, 50, 2));
  std::this_thread::sleep_for(1s);  // 50 ticks, even on a busy machine more than two
  release.set_value();
  running.queue->drain();
  EXPECT_EQ(running.client->samples().size(), 2u);
}

TEST(XShmScreenStream, AServerThatGoesAwayEndsTheStreamWithOneStopNotice) {
  auto server = std::make_unique<XvfbServer>(800, 600);
  ASSERT_TRUE(server->running());
  RunningStream running;
  ASSERT_TRUE(running.start(800, 600));
  ASSERT_TRUE(running.client->waitFor(0, isComplete));
  server.reset();  // kills that X server; the test program's own one stays
  EXPECT_TRUE(running.client->waitStopped());
  running.stream.reset();
  EXPECT_EQ(running.client->stops(), 1);
}

TEST(XShmScreenStream, StopEndsDeliveryAndAStoppedStreamReportsNothing) {
  RunningStream running;
  ASSERT_TRUE(running.start(320, 200, 30));
  ASSERT_TRUE(running.client->waitFor(0, isComplete));
  EXPECT_TRUE(running.stream->stopCapture());
  running.queue->drain();
  const size_t count = running.client->samples().size();
  std::this_thread::sleep_for(200ms);
  running.queue->drain();
  EXPECT_EQ(running.client->samples().size(), count);
  EXPECT_EQ(running.client->stops(), 0);
  EXPECT_FALSE(running.stream->stopCapture());
}

}  // namespace
}  // namespace qova::test
