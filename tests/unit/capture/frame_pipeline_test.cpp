#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "capture_fixture.h"
#include "capture/frame_message.h"

namespace qova::test {
namespace {

struct ParsedFrame {
  nlohmann::json header;
  size_t headerLength = 0;  // J
  std::string jpeg;
};

// Reads frame messages back to back the way an agent does: header line, then "bytes" bytes.
std::vector<ParsedFrame> parseFrames(const std::string& stream, std::string* rest = nullptr) {
  std::vector<ParsedFrame> frames;
  size_t at = 0;
  while (stream.compare(at, 20, "__QOVA_FRAME_BYTES__") == 0) {
    const size_t lineEnd = stream.find('\n', at);
    if (lineEnd == std::string::npos) break;
    ParsedFrame frame;
    frame.headerLength = lineEnd - at - 20;
    frame.header = nlohmann::json::parse(stream.substr(at + 20, frame.headerLength));
    const size_t bytes = frame.header.at("bytes").get<size_t>();
    frame.jpeg = stream.substr(lineEnd + 1, bytes);
    at = lineEnd + 1 + bytes;
    frames.push_back(std::move(frame));
  }
  if (rest) *rest = stream.substr(at);
  return frames;
}

class FramePipelineTest : public CaptureTest {
 protected:
  void SetUp() override {
    delegate->startAgent();
    stream = startCapturing();
    // The permission message of the start goes first, so that a pipe a test swaps in sees frames only.
    delegate->agentInputQueue->drain();
  }
  std::string sent() { return sentTo(fakes.processes->lastLaunch()); }
  std::shared_ptr<FakeScreenStream> stream;
};

TEST_F(FramePipelineTest, AFrameReachesTheAgentAsMarkerHeaderLineFeedAndExactlyTheJpegBytes) {
  const std::string before = sent();  // the permission message sent at start
  const int64_t earliest = wallClockMilliseconds();
  deliverAndSettle(stream, sampleOf(1280, 800));
  const int64_t latest = wallClockMilliseconds();
  deliverAndSettle(stream, sampleOf(1280, 800));

  const std::string frames = sent().substr(before.size());
  std::string rest;
  const auto parsed = parseFrames(frames, &rest);
  ASSERT_EQ(parsed.size(), 2u);
  EXPECT_TRUE(rest.empty());
  const auto& first = parsed[0];
  EXPECT_EQ(first.jpeg, images().jpeg());  // line feeds and a marker inside do not disturb framing
  EXPECT_EQ(first.header.size(), 6u);
  EXPECT_EQ(first.header["width"], 1280);
  EXPECT_EQ(first.header["height"], 800);
  EXPECT_EQ(first.header["inputWidth"], 1440);
  EXPECT_EQ(first.header["inputHeight"], 900);
  EXPECT_EQ(first.header["bytes"], images().jpeg().size());
  EXPECT_GE(first.header["timestamp"].get<int64_t>(), earliest);
  EXPECT_LE(first.header["timestamp"].get<int64_t>(), latest);
  EXPECT_EQ(frames.size(), 2 * (21 + first.headerLength + images().jpeg().size()));
  EXPECT_TRUE(images().scales().empty());  // delivered at the target size: not rescaled
  ASSERT_EQ(images().encodes().size(), 2u);
  EXPECT_DOUBLE_EQ(images().encodes()[0].quality, 0.54);
}

TEST_F(FramePipelineTest, ImagesNotAtTheTargetSizeAreRescaledFirst) {
  deliverAndSettle(stream, sampleOf(1440, 900));
  deliverAndSettle(stream, sampleOf(2139, 1000));
  deliverAndSettle(stream, sampleOf(1, 1));
  EXPECT_EQ(images().scales(), (std::vector<std::pair<int, int>>{{1280, 800}, {1279, 598}}));
  const auto encodes = images().encodes();
  ASSERT_EQ(encodes.size(), 3u);
  EXPECT_EQ(encodes[1].width, 1279);
  EXPECT_EQ(encodes[2].width, 1);
  const auto parsed = parseFrames(sent().substr(sent().find("__QOVA_FRAME_BYTES__")));
  ASSERT_EQ(parsed.size(), 3u);
  EXPECT_EQ(parsed[1].header["width"], 1279);
  EXPECT_EQ(parsed[1].header["height"], 598);
  EXPECT_EQ(parsed[2].header["height"], 1);
  EXPECT_EQ(parsed[2].header["inputWidth"], 1440);  // the display's size, whatever was delivered
}

TEST_F(FramePipelineTest, SamplesWithAnUnwantedStatusOrWithoutPixelsNeverReachRendering) {
  for (int64_t status : {1, 2, 3, 5, 9}) deliverAndSettle(stream, sampleOf(1280, 800, status));
  ScreenSample invalid = sampleOf(1280, 800);
  invalid.isValid = false;
  deliverAndSettle(stream, invalid);
  ScreenSample noPixels;
  deliverAndSettle(stream, noPixels);
  EXPECT_EQ(images().renders(), 0);
  EXPECT_FALSE(stream->deliver(sampleOf(1280, 800), SampleType::audio));

  for (std::optional<int64_t> status : {std::optional<int64_t>(0), std::optional<int64_t>(4), std::optional<int64_t>()}) {
    deliverAndSettle(stream, sampleOf(1280, 800, status));
  }
  ScreenSample notAnInteger = sampleOf(1280, 800);
  notAnInteger.attachments = std::vector<FrameInfo>{FrameInfo{{kFrameInfoStatus, std::string("idle")}}};
  deliverAndSettle(stream, notAnInteger);
  EXPECT_EQ(images().encodes().size(), 4u);
  EXPECT_EQ(parseFrames(sent().substr(sent().find("__QOVA_FRAME_BYTES__"))).size(), 4u);
}

TEST_F(FramePipelineTest, WhileAFrameIsPendingNewSamplesAreDroppedBeforeAnyImageWork) {
  holdAgentInput();
  deliverAndSettle(stream, sampleOf(1440, 900));
  EXPECT_TRUE(writePending());
  for (int i = 0; i < 5; ++i) deliverAndSettle(stream, sampleOf(1440, 900));
  EXPECT_EQ(images().renders(), 1);
  EXPECT_EQ(images().scales().size(), 1u);
  EXPECT_EQ(images().encodes().size(), 1u);

  // A permission message handed over meanwhile follows the frame's last JPEG byte.
  delegate->writeAgentInput("__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");
  releaseAgentInput();
  delegate->agentInputQueue->drain();
  EXPECT_FALSE(writePending());
  std::string rest;
  const std::string all = sent();
  EXPECT_EQ(parseFrames(all.substr(all.find("__QOVA_FRAME_BYTES__")), &rest).size(), 1u);
  EXPECT_EQ(rest, "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n");

  deliverAndSettle(stream, sampleOf(1440, 900));
  EXPECT_EQ(images().renders(), 2);
}

TEST_F(FramePipelineTest, AFramePendingFromBeforeAStopDoesNotHoldBackTheNextCapture) {
  holdAgentInput();
  deliverAndSettle(stream, sampleOf(1280, 800));
  ASSERT_TRUE(writePending());
  delegate->handleCaptureBridge(R"({"action":"stop"})");
  ASSERT_TRUE(eventually([&] { return isIdle(); }));
  deliverAndSettle(stream, sampleOf(1280, 800));  // a late sample of the stopped stream
  EXPECT_EQ(images().renders(), 1);
  EXPECT_FALSE(writePending());

  auto next = startCapturing(2);
  deliverAndSettle(next, sampleOf(1280, 800));
  EXPECT_EQ(images().encodes().size(), 2u);
  releaseAgentInput();
  delegate->agentInputQueue->drain();
  const std::string all = sent();
  EXPECT_EQ(parseFrames(all.substr(all.find("__QOVA_FRAME_BYTES__"))).size(), 2u);
}

TEST_F(FramePipelineTest, FailedImageStepsDropOnlyThatFrame) {
  images().setFailures(true, false, false);
  deliverAndSettle(stream, sampleOf(1280, 800));
  images().setFailures(false, true, false);
  deliverAndSettle(stream, sampleOf(1440, 900));
  images().setFailures(false, false, true);
  deliverAndSettle(stream, sampleOf(1280, 800));
  ScreenSample malformed = sampleOf(1280, 800);
  malformed.imageBuffer->bytesPerRow = 100;
  images().setFailures(false, false, false);
  deliverAndSettle(stream, malformed);
  EXPECT_EQ(sent().find("__QOVA_FRAME_BYTES__"), std::string::npos);
  EXPECT_FALSE(writePending());
  deliverAndSettle(stream, sampleOf(1280, 800));
  EXPECT_NE(sent().find("__QOVA_FRAME_BYTES__"), std::string::npos);
  EXPECT_TRUE(capturingWith(stream));
}

TEST_F(FramePipelineTest, WithNoAgentFramesAreDroppedAtTheWriteAndNothingStaysPending) {
  delegate->stopClicked();
  auto next = startCapturing(2);
  for (int i = 0; i < 3; ++i) {
    deliverAndSettle(next, sampleOf(1280, 800));
  }
  EXPECT_EQ(images().encodes().size(), 3u);
  EXPECT_FALSE(writePending());
}

// An agent input whose writes fail from a given write on, counting every attempt.
class FailingPipe : public InputPipe {
 public:
  explicit FailingPipe(int failFrom) : failFrom_(failFrom) {}
  bool writeAll(std::string_view bytes) override {
    std::lock_guard lock(mutex_);
    if (++attempts_ >= failFrom_) return false;
    written_.append(bytes);
    return true;
  }
  void close() override {}
  int attempts() {
    std::lock_guard lock(mutex_);
    return attempts_;
  }
  std::string written() {
    std::lock_guard lock(mutex_);
    return written_;
  }

 private:
  std::mutex mutex_;
  int failFrom_;
  int attempts_ = 0;
  std::string written_;
};

TEST_F(FramePipelineTest, AFailedHeaderWriteSkipsTheJpegAndStopsCapture) {
  auto pipe = std::make_shared<FailingPipe>(1);
  delegate->setInputPipe(pipe);
  deliverAndSettle(stream, sampleOf(1280, 800));
  EXPECT_EQ(pipe->attempts(), 1);
  EXPECT_TRUE(isIdle());
  ASSERT_TRUE(capture().waitStopRequests(1));
  EXPECT_FALSE(writePending());
  deliverAndSettle(stream, sampleOf(1280, 800));  // the stopped stream's late sample
  EXPECT_EQ(images().renders(), 1);
}

TEST_F(FramePipelineTest, AFailedJpegWriteStopsCaptureAndANewStartSendsAgain) {
  auto pipe = std::make_shared<FailingPipe>(2);
  delegate->setInputPipe(pipe);
  deliverAndSettle(stream, sampleOf(1280, 800));
  EXPECT_EQ(pipe->attempts(), 2);
  EXPECT_TRUE(isIdle());
  EXPECT_FALSE(writePending());

  auto good = std::make_shared<FailingPipe>(1000);
  delegate->setInputPipe(good);
  auto next = startCapturing(2);
  deliverAndSettle(next, sampleOf(1280, 800));
  EXPECT_EQ(parseFrames(good->written()).size(), 1u);
}

}  // namespace
}  // namespace qova::test
