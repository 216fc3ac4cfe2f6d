// The X11 screen stream on a real X server: MIT-SHM frames at the configured size, idle frames
// from XDamage, the XFixes cursor, pacing, queue depth and a display that goes away.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/linux/xshm_screen_capture.h"
#include "base/serial_queue.h"
#include "support/xvfb_server.h"
#include "capture_test_screen.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

class RecordingOutput : public ScreenStreamOutput, public ScreenStreamDelegate {
 public:
  void didOutputSample(ScreenStream&, const ScreenSample& sample, SampleType type) override {
    std::lock_guard lock(mutex_);
    if (type == SampleType::screen) samples_.push_back(sample);
    changed_.notify_all();
  }
  void didStopWithError(ScreenStream&) override {
    std::lock_guard lock(mutex_);
    ++stops_;
    changed_.notify_all();
  }
  std::vector<ScreenSample> samples() {
    std::lock_guard lock(mutex_);
    return samples_;
  }
  static bool isComplete(const ScreenSample& s) { return s.imageBuffer.has_value(); }
  // Waits for the n-th sample after `from` that satisfies `want`; returns its index.
  std::optional<size_t> waitFor(size_t from, const std::function<bool(const ScreenSample&)>& want,
                                std::chrono::milliseconds timeout = 5s) {
    std::unique_lock lock(mutex_);
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
      for (size_t i = from; i < samples_.size(); ++i) {
        if (want(samples_[i])) {
          found = i;
          return true;
        }
      }
      return false;
    });
    return found;
  }
  bool waitStopped() {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, 10s, [&] { return stops_ > 0; });
  }
  int stops() {
    std::lock_guard lock(mutex_);
    return stops_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<ScreenSample> samples_;
  int stops_ = 0;
};

struct RunningStream {
  std::shared_ptr<RecordingOutput> output = std::make_shared<RecordingOutput>();
  std::shared_ptr<SerialQueue> queue = std::make_shared<SerialQueue>("test.stream");
  std::shared_ptr<ScreenStream> stream;
  bool start(XShmScreenCapture& capture, int width, int height, int fps = 10, intptr_t depth = 2) {
    const auto content = capture.shareableContent();
    if (!content || content->displays.empty()) return false;
    ScreenStreamConfiguration config;
    config.width = width;
    config.height = height;
    config.minimumFrameInterval = {1, fps};
    config.queueDepth = depth;
    stream = capture.makeStream(content->displays.front(), config, output);
    return stream->addStreamOutput(output, SampleType::screen, queue) && stream->startCapture();
  }
  ~RunningStream() {
    if (stream) stream->stopCapture();
  }
};

TEST(XShmScreenCapture, ListsTheScreenAsOneDisplayOfItsSize) {
  XShmScreenCapture capture;
  const auto content = capture.shareableContent();
  ASSERT_TRUE(content);
  ASSERT_EQ(content->displays.size(), 1u);
  EXPECT_EQ(content->displays[0].width, 1440);
  EXPECT_EQ(content->displays[0].height, 900);
  EXPECT_NE(content->displays[0].displayId, 0u);  // the RandR output
}

TEST(XShmScreenStream, DeliversScaledFramesThenIdleUntilTheScreenChanges) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  painter.warpPointer(1439, 899);
  painter.show(blockPattern(1440, 900));
  XShmScreenCapture capture;
  RunningStream running;
  ASSERT_TRUE(running.start(capture, 1280, 800));

  const auto first = running.output->waitFor(0, RecordingOutput::isComplete);
  ASSERT_TRUE(first);
  const auto samples = running.output->samples();
  const ScreenSample& frame = samples[*first];
  ASSERT_EQ(frame.imageBuffer->width, 1280);
  ASSERT_EQ(frame.imageBuffer->height, 800);
  const Picture expected = blockPattern(1280, 800);
  const Picture got = pictureOf(*frame.imageBuffer);
  for (int by = 0; by < 2; ++by) {
    for (int bx = 0; bx < 3; ++bx) {
      const int x = 1280 * (2 * bx + 1) / 6, y = 800 * (2 * by + 1) / 4;
      for (int c = 0; c < 3; ++c) EXPECT_NEAR(got.at(x, y)[c], expected.at(x, y)[c], 3);
    }
  }

  // Nothing changes: the stream goes on with idle samples that carry no pixels.
  const auto idle = running.output->waitFor(*first + 1, [](const ScreenSample& s) {
    return !s.imageBuffer && s.attachments && std::get<int64_t>(s.attachments->front().at(kFrameInfoStatus)) == 1;
  });
  ASSERT_TRUE(idle);
  painter.fill(100, 100, 50, 50, 0x00FF00);
  const auto changed = running.output->waitFor(*idle + 1, RecordingOutput::isComplete);
  ASSERT_TRUE(changed);
  const Picture after = pictureOf(*running.output->samples()[*changed].imageBuffer);
  EXPECT_GT(after.at(111, 111)[1], 200);  // the new green square, scaled by 1280/1440
  EXPECT_LT(after.at(111, 111)[0], 60);
}

TEST(XShmScreenStream, DrawsTheCursorIntoTheFrame) {
  ScreenPainter painter;
  ASSERT_TRUE(painter.ok());
  painter.fill(0, 0, 1440, 900, 0xFFFFFF);
  XShmScreenCapture capture;
  RunningStream running;
  // Unscaled, so the cursor's pixels can be found where the pointer is.
  ASSERT_TRUE(running.start(capture, 1440, 900));
  ASSERT_TRUE(running.output->waitFor(0, RecordingOutput::isComplete));
  const size_t seen = running.output->samples().size();
  painter.warpPointer(700, 400);
  const auto moved = running.output->waitFor(seen, RecordingOutput::isComplete);
  ASSERT_TRUE(moved);
  const Picture frame = pictureOf(*running.output->samples()[*moved].imageBuffer);
  int dark = 0;
  for (int y = 380; y < 420; ++y) {
    for (int x = 680; x < 720; ++x) dark += frame.at(x, y)[1] < 128;
  }
  EXPECT_GT(dark, 10);  // the cursor's outline on a white screen
  EXPECT_GT(frame.at(100, 100)[1], 250);
}

TEST(XShmScreenStream, FramesComeNoFasterThanTheMinimumInterval) {
  ScreenPainter painter;
  XShmScreenCapture capture;
  RunningStream running;
  ASSERT_TRUE(running.start(capture, 640, 400, 10));
  painter.keepChanging(0, 0, 64, 10ms, 1500ms);
  const auto samples = running.output->samples();
  ASSERT_GE(samples.size(), 5u);
  const auto span = samples.back().presentationTime - samples.front().presentationTime;
  EXPECT_LE(static_cast<double>(samples.size() - 1), std::chrono::duration<double>(span).count() * 10 + 0.5);
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_GE(samples[i].presentationTime - samples[i - 1].presentationTime, 90ms);
  }
}

TEST(XShmScreenStream, NoMoreSamplesThanTheQueueDepthWaitUnhandled) {
  ScreenPainter painter;
  XShmScreenCapture capture;
  RunningStream running;
  // The queue is held up, as a slow pipeline would hold it.
  std::promise<void> release;
  running.queue->async([future = release.get_future().share()] { future.wait(); });
  ASSERT_TRUE(running.start(capture, 320, 200, 50, 2));
  std::this_thread::sleep_for(400ms);
  release.set_value();
  running.queue->drain();
  EXPECT_EQ(running.output->samples().size(), 2u);
}

TEST(XShmScreenStream, AServerThatGoesAwayEndsTheStreamWithItsStopNotice) {
  auto server = std::make_unique<XvfbServer>(800, 600);
  ASSERT_TRUE(server->running());
  XShmScreenCapture capture;
  RunningStream running;
  ASSERT_TRUE(running.start(capture, 800, 600));
  ASSERT_TRUE(running.output->waitFor(0, RecordingOutput::isComplete));
  server.reset();  // kills that X server; the test program's own one stays
  EXPECT_TRUE(running.output->waitStopped());
  EXPECT_EQ(running.output->stops(), 1);
  running.stream.reset();
}

TEST(XShmScreenStream, StopEndsDeliveryAndAStoppedStreamReportsNothing) {
  XShmScreenCapture capture;
  RunningStream running;
  ASSERT_TRUE(running.start(capture, 320, 200, 30));
  ASSERT_TRUE(running.output->waitFor(0, RecordingOutput::isComplete));
  EXPECT_TRUE(running.stream->stopCapture());
  running.queue->drain();
  const size_t count = running.output->samples().size();
  std::this_thread::sleep_for(200ms);
  running.queue->drain();
  EXPECT_EQ(running.output->samples().size(), count);
  EXPECT_EQ(running.output->stops(), 0);
  EXPECT_FALSE(running.stream->stopCapture());
}

}  // namespace
}  // namespace qova::test
