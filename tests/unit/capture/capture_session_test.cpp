// The capture session on fakes: start and stop transitions, the stream start, the frame pipeline
// and its write gate, with a host that stands for the controller.
#include "capture/capture_session.h"

#include <gtest/gtest.h>

#include <functional>
#include <future>
#include <nlohmann/json.hpp>
#include <tuple>

#include "base/serial_queue.h"
#include "capture/frame_message.h"
#include "fakes/fake_platform_services.h"

namespace qova::test {
namespace {

// Writes at once unless holding; the test reads it after draining the stream output queue.
struct FakeCaptureHost : CaptureHost {
  void writeFrameToAgent(std::string header, std::vector<uint8_t> jpeg, std::function<void(AgentWrite)> done) override {
    writes.push_back([this, header, jpeg, done] {
      if (outcome == AgentWrite::written) {
        frames.push_back(
            {nlohmann::json::parse(header.substr(header.find('{'))), std::string(jpeg.begin(), jpeg.end())});
        markers.push_back(header.substr(0, header.find('{')));
      }
      done(outcome);
    });
    if (!holding) release();
  }
  void showCaptureStatus(std::string_view text) override { statuses.emplace_back(text); }
  void release() {
    for (auto& write : std::exchange(writes, {})) write();
  }
  bool holding = false;
  AgentWrite outcome = AgentWrite::written;
  std::vector<std::function<void()>> writes;
  std::vector<std::pair<nlohmann::json, std::string>> frames;  // header, JPEG
  std::vector<std::string> markers;                            // of each frame's header line
  std::vector<std::string> statuses;                           // main thread
};

class CaptureSessionTest : public ::testing::Test {
 protected:
  ~CaptureSessionTest() override {
    session->stopCaptureBridge();
    session->captureQueue->drain();
  }
  FakeScreenCapture& capture() { return *fakes.screenCapture; }
  FakeImageContext& images() { return *fakes.imaging->context; }
  void command(const std::string& action) { session->handleCaptureBridge(R"({"action":")" + action + "\"}", host); }

  // Active, stream, whether there is a stream output: read on captureQueue, where they live.
  using State = std::tuple<bool, std::shared_ptr<ScreenStream>, bool>;
  State state() {
    std::promise<State> state;
    session->captureQueue->async([&] {
      state.set_value({session->captureActive.load(), session->captureStream, session->captureStreamOutput != nullptr});
    });
    return state.get_future().get();
  }
  // Waits (bounded, real time) for the work of other threads to come to the wanted state.
  bool eventually(const std::function<bool()>& done) { return fakes.mainQueue->pumpUntil(done); }
  bool isIdle() {
    return eventually([&] { return state() == State{false, nullptr, false}; });
  }
  bool capturingWith(const std::shared_ptr<FakeScreenStream>& stream) {
    return eventually([&] { return state() == State{true, stream, true}; });
  }
  // Starts capture and waits until its stream, the n-th made, is adopted.
  std::shared_ptr<FakeScreenStream> startCapturing(size_t n = 1) {
    command("start");
    EXPECT_TRUE(eventually([&] { return capture().streams().size() >= n; }));
    auto stream = capture().streams().at(n - 1);
    EXPECT_TRUE(capturingWith(stream));
    return stream;
  }
  void deliver(const std::shared_ptr<FakeScreenStream>& stream, ScreenSample sample) {
    stream->deliver(std::move(sample));
    session->streamOutputQueue->drain();
  }
  static ScreenSample sampleOf(int width, int height, FrameStatus status = FrameStatus::complete) {
    return {status, solidPixelBuffer(width, height), {}, {}};
  }

  FakePlatformServices fakes;
  std::shared_ptr<FakeCaptureHost> host = std::make_shared<FakeCaptureHost>();
  std::shared_ptr<CaptureSession> session =
      std::make_shared<CaptureSession>(fakes.screenCapture, fakes.permissions, fakes.imaging, fakes.mainQueue);
};

TEST_F(CaptureSessionTest, AnAgentThatChoosesIsListedTheDisplaysAndTheOneItNamesIsCapturedAtOnce) {
  capture().content = ShareableContent{{{3, 1920, 1080, 0, 0, "left"}, {7, 1280, 720, 1920, 0, "right"}}};
  session->handleCaptureBridge(R"({"action":"start","display":3})", host);
  ASSERT_TRUE(eventually([&] { return capture().streams().size() == 1; }));
  EXPECT_EQ(capture().streams()[0]->display.displayId, 7u);
  session->handleCaptureBridge(R"({"action":"tune","display":3})", host, true);
  ASSERT_TRUE(eventually([&] { return capture().streams().size() == 2; }));
  const auto chosen = capture().streams()[1];
  EXPECT_TRUE(capturingWith(chosen));
  EXPECT_EQ(std::make_tuple(chosen->display.displayId, chosen->configuration.width), std::make_tuple(3u, 1280));
  EXPECT_TRUE(eventually([&] { return capture().streams()[0]->stops() == 1; }));
  session->handleCaptureBridge(R"({"action":"start","display":3})", host, true);  // the one captured: kept
  session->captureQueue->drain();
  ASSERT_EQ(capture().streams().size(), 2u);
  ASSERT_EQ(host->markers, std::vector<std::string>{"__QOVA_DISPLAYS__"});
  EXPECT_EQ(host->frames[0].first, nlohmann::json::parse(R"({"version": 1, "current": 3, "displays": [
      {"id": 3, "name": "left", "width": 1920, "height": 1080, "x": 0, "y": 0, "main": false},
      {"id": 7, "name": "right", "width": 1280, "height": 720, "x": 1920, "y": 0, "main": true}]})"));
  EXPECT_EQ(session->capturedDisplay().displayId, 3u);
}

TEST_F(CaptureSessionTest, StartCapturesTheMainDisplayScaledOnceUntilAStopOrTheStreamsOwnStop) {
  capture().content = ShareableContent{{{3, 1920, 1080}, {7, 3440, 1440}}};
  auto stream = startCapturing();
  command("start");
  session->captureQueue->drain();
  ASSERT_EQ(capture().streams().size(), 1u);
  EXPECT_EQ(stream->display.displayId, 7u);
  const auto& config = stream->configuration;
  EXPECT_EQ(std::tie(config.width, config.height, config.minimumFrameInterval.value,
                     config.minimumFrameInterval.timescale, config.queueDepth, config.showsCursor),
            std::make_tuple(1280, 535, 1, 10, 2, true));
  EXPECT_EQ(stream->queue, session->streamOutputQueue);
  const int64_t earliest = wallClockMilliseconds();
  deliver(stream, sampleOf(1280, 535));
  ASSERT_EQ(host->frames.size(), 1u);
  const auto& [header, jpeg] = host->frames[0];
  auto expected = nlohmann::json::parse(R"({"width": 1280, "height": 535, "inputWidth": 3440, "inputHeight": 1440})");
  expected.update({{"bytes", images().jpeg.size()}, {"timestamp", header["timestamp"]}});
  EXPECT_EQ(header, expected);
  EXPECT_GE(header["timestamp"].get<int64_t>(), earliest);
  EXPECT_LE(header["timestamp"].get<int64_t>(), wallClockMilliseconds());
  EXPECT_EQ(jpeg, images().jpeg);
  EXPECT_EQ(images().qualities, std::vector<double>{0.54});

  const std::vector<std::function<void(FakeScreenStream&)>> stops = {
      [&](FakeScreenStream&) { command("stop"); },
      [](FakeScreenStream& running) { running.client->didStopWithError(); },
  };
  for (size_t i = 0; i < stops.size(); ++i) {
    if (i > 0) stream = startCapturing(i + 1);
    stops[i](*stream);
    EXPECT_TRUE(isIdle()) << i;
    EXPECT_TRUE(eventually([&] { return stream->stops() == 1; })) << i;
  }
  startCapturing(3);
  EXPECT_TRUE(host->statuses.empty());
}

TEST_F(CaptureSessionTest, AStreamThatStartsLateNeitherRunsNorEndsTheCaptureThatFollowed) {
  for (const bool lateStartFails : {false, true}) {
    const size_t made = capture().streams().size();
    capture().holdStart = true;
    capture().startFails = lateStartFails;
    command("start");
    ASSERT_TRUE(eventually([&] { return capture().streams().size() == made + 1; }));
    capture().holdStart = capture().startFails = false;
    command("stop");
    EXPECT_TRUE(isIdle());
    auto late = capture().streams().back();
    auto next = startCapturing(made + 2);
    late->release();
    EXPECT_TRUE(eventually([&] { return late->stops() == (lateStartFails ? 0 : 1); })) << lateStartFails;
    if (lateStartFails) {
      EXPECT_TRUE(fakes.mainQueue->pumpUntil([&] { return host->statuses.size() == 1; }));
    }
    EXPECT_TRUE(capturingWith(next));
    EXPECT_EQ(next->stops(), 0);
    command("stop");
    ASSERT_TRUE(isIdle());
  }
}

// A start that comes to no stream returns to Idle and tries nothing again; the user learns of a
// failed one, not of a missing permission (which the next start asks again).
TEST_F(CaptureSessionTest, AStartThatComesToNoStreamReturnsToIdle) {
  const struct {
    std::function<void()> setUp;
    int contentQueries;
    size_t statuses;
  } cases[] = {
      {[&] { fakes.permissions->screen = false; }, 0, 0},
      {[&] { capture().content = std::nullopt; }, 1, 1},
      {[&] { capture().content = ShareableContent{}; }, 2, 2},
      {[&] { capture().makeFails = true; }, 3, 3},
      {[&] { capture().startFails = true; }, 4, 4},
  };
  for (const auto& c : cases) {
    fakes.permissions->screen = true;
    capture().content = ShareableContent{{{7, 1440, 900}}};
    capture().makeFails = capture().startFails = false;
    c.setUp();
    command("start");
    session->captureQueue->drain();  // the start transition has run: only its return to Idle is awaited
    EXPECT_TRUE(eventually([&] { return !std::get<0>(state()) && host->statuses.size() == c.statuses; }));
    EXPECT_EQ(capture().contentQueries.load(), c.contentQueries);
  }
  EXPECT_EQ(host->statuses, std::vector<std::string>(4, "屏幕流启动失败"));
  for (const auto& stream : capture().streams()) EXPECT_EQ(stream->stops(), 0);
}

TEST_F(CaptureSessionTest, ASampleBecomesAFrameOfTheRulesSizeOrNothing) {
  auto stream = startCapturing();
  using S = FrameStatus;
  using Step = FakeImageContext::Step;
  const struct {
    FrameStatus status;
    int width, height;  // 0: no pixels
    Step failing;
    bool imageWork;
    int frameWidth, frameHeight;  // 0: no frame
  } cases[] = {
      {S::complete, 1440, 900, Step::none, true, 1280, 800}, {S::started, 2139, 1000, Step::none, true, 1279, 598},
      {S::complete, 1, 1, Step::none, true, 1, 1},           {S::idle, 0, 0, Step::none, false, 0, 0},
      {S::idle, 1280, 800, Step::none, false, 0, 0},         {S::blank, 1280, 800, Step::none, false, 0, 0},
      {S::suspended, 1280, 800, Step::none, false, 0, 0},    {S::stopped, 1280, 800, Step::none, false, 0, 0},
      {S::complete, 0, 0, Step::none, false, 0, 0},          {S::complete, 1440, 900, Step::render, true, 0, 0},
      {S::complete, 1440, 900, Step::scale, true, 0, 0},     {S::complete, 1440, 900, Step::encode, true, 0, 0}};
  for (const auto& c : cases) {
    images().failing = c.failing;
    const int renders = images().renders;
    const size_t sent = host->frames.size();
    deliver(stream, c.width ? sampleOf(c.width, c.height, c.status) : ScreenSample{c.status, std::nullopt, {}, {}});
    EXPECT_EQ(images().renders - renders, c.imageWork ? 1 : 0) << c.width << " " << static_cast<int>(c.status);
    ASSERT_EQ(host->frames.size(), sent + (c.frameWidth ? 1 : 0)) << c.width << " " << static_cast<int>(c.status);
    if (!c.frameWidth) continue;
    EXPECT_EQ(host->frames.back().first["width"], c.frameWidth);
    EXPECT_EQ(host->frames.back().first["height"], c.frameHeight);
  }
}

// While a frame's write is pending, samples cost no image work; the newest of them follows when the
// write ends. A stop and a new start reopen the gate even while a write still hangs, and drop what
// was held. A frame with no agent to take it is dropped; one whose write fails stops capture.
TEST_F(CaptureSessionTest, OneFrameIsPendingAtATimeAndAFailedWriteStopsCapture) {
  auto stream = startCapturing();
  host->holding = true;
  for (const int width : {1440, 1280, 640}) deliver(stream, sampleOf(width, 400));
  EXPECT_EQ(images().renders, 1);
  host->release();
  session->streamOutputQueue->drain();
  EXPECT_EQ(images().renders, 2);
  deliver(stream, sampleOf(1280, 800));
  command("stop");
  ASSERT_TRUE(isIdle());
  deliver(stream, sampleOf(1280, 800));  // a late sample of the stopped stream
  stream = startCapturing(2);
  deliver(stream, sampleOf(1280, 800));
  EXPECT_EQ(images().renders, 3);
  host->release();
  session->streamOutputQueue->drain();
  ASSERT_EQ(host->frames.size(), 3u);
  EXPECT_EQ(host->frames[1].first["width"], 640);

  host->holding = false;
  host->outcome = AgentWrite::noAgent;
  deliver(stream, sampleOf(1280, 800));
  deliver(stream, sampleOf(1280, 800));
  EXPECT_EQ(images().renders, 5);
  EXPECT_TRUE(capturingWith(stream));
  host->outcome = AgentWrite::failed;
  deliver(stream, sampleOf(1280, 800));
  EXPECT_TRUE(isIdle());
  EXPECT_TRUE(eventually([&] { return stream->stops() == 1; }));
}

TEST_F(CaptureSessionTest, AnOptInStartAnswersThenSendsTheWholePictureThenChangesThenThePointer) {
  capture().reportsCursor = true;
  capture().content = ShareableContent{{{7, 200, 100}}};
  session->handleCaptureBridge(R"({"action":"start","picture":{"version":1,"fps":20,"cursor":true}})", host);
  ASSERT_TRUE(eventually([&] { return capture().streams().size() == 1; }));
  const auto stream = capture().streams()[0];
  const auto& c = stream->configuration;
  EXPECT_EQ(std::tie(c.width, c.height, c.minimumFrameInterval.timescale, c.showsCursor, c.reportsCursor),
            std::make_tuple(200, 100, 20, false, true));
  ScreenSample sample = sampleOf(200, 100);
  sample.cursor =
      CursorState{100, 30, true, std::make_shared<CursorImage>(CursorImage{5, 2, 1, 0, 1, {1, 2, 3, 4, 5, 6, 7, 8}})};
  deliver(stream, sample);
  sample.imageBuffer = solidPixelBuffer(200, 100);
  for (const auto& [x, y] : std::vector<std::pair<int, int>>{{40, 70}, {199, 99}, {70, 75}}) {
    const_cast<uint8_t*>(sample.imageBuffer->data)[y * 800 + x * 4] = 7;
  }
  deliver(stream, sample);
  stream->deliverPointer(50, 40, std::make_shared<CursorImage>(CursorImage{6, 1, 1, 0, 0, {9, 9, 9, 9}}));
  session->streamOutputQueue->drain();
  command("refresh");  // the same picture again, whole, with no new sample
  session->streamOutputQueue->drain();

  ASSERT_EQ(host->frames.size(), 5u);
  EXPECT_EQ(host->frames[4].first["full"], true);
  EXPECT_EQ(host->markers,
            (std::vector<std::string>{"__QOVA_PICTURE__", "__QOVA_UPDATE_BYTES__", "__QOVA_UPDATE_BYTES__",
                                      "__QOVA_UPDATE_BYTES__", "__QOVA_UPDATE_BYTES__"}));
  EXPECT_EQ(host->frames[0].first,
            nlohmann::json::parse(R"({"version":1,"tile":32,"fps":20,"maxSide":0,"cursor":true})"));
  const struct {
    const char* header;  // without the timestamp
    std::string payload;
  } updates[] = {
      {R"({"width":200,"height":100,"inputWidth":200,"inputHeight":100,"bytes":19,"full":true,
          "rects":[[0,0,200,100,1,11]],"cursor":[100,30,1],"shape":[5,2,1,0,1,8]})",
       std::string("png 200x100\x01\x02\x03\x04\x05\x06\x07\x08")},
      {R"({"width":200,"height":100,"inputWidth":200,"inputHeight":100,"bytes":16,"full":false,
          "rects":[[32,64,64,32,1,9],[192,96,8,4,1,7]]})",
       "png 64x32png 8x4"},
      {R"({"width":200,"height":100,"inputWidth":200,"inputHeight":100,"bytes":4,"full":false,
          "rects":[],"cursor":[50,40,1],"shape":[6,1,1,0,0,4]})",
       "\x09\x09\x09\x09"},
  };
  for (size_t i = 0; i < std::size(updates); ++i) {
    auto [header, payload] = host->frames[i + 1];
    EXPECT_EQ(header.erase("timestamp"), 1u) << i;
    EXPECT_EQ(header, nlohmann::json::parse(updates[i].header)) << i;
    EXPECT_EQ(payload, updates[i].payload) << i;
  }
}

// Damage from the desktop narrows the comparison: a sample that gave way to a newer one while a write
// was under way still has its changes looked at.
TEST_F(CaptureSessionTest, AnUpdateLooksWhereverASampleSinceTheLastOneSaidItChanged) {
  capture().content = ShareableContent{{{7, 200, 100}}};
  session->handleCaptureBridge(R"({"action":"start","picture":{"version":1}})", host);
  ASSERT_TRUE(eventually([&] { return capture().streams().size() == 1; }));
  const auto stream = capture().streams()[0];
  deliver(stream, sampleOf(200, 100));
  host->holding = true;
  std::vector<std::pair<int, int>> painted;
  for (const auto& change : std::vector<std::pair<int, int>>{{40, 70}, {150, 10}, {10, 10}}) {
    painted.push_back(change);
    ScreenSample sample = sampleOf(200, 100);
    for (const auto& [x, y] : painted) const_cast<uint8_t*>(sample.imageBuffer->data)[y * 800 + x * 4] = 7;
    sample.damage = std::vector<PixelRect>{{change.first, change.second, 1, 1}};
    deliver(stream, sample);
  }
  host->holding = false;
  host->release();
  session->streamOutputQueue->drain();
  ASSERT_EQ(host->frames.size(), 4u);
  EXPECT_EQ(host->frames[2].first["rects"], nlohmann::json::parse("[[32,64,32,32,1,9]]"));
  EXPECT_EQ(host->frames[3].first["rects"], nlohmann::json::parse("[[0,0,32,32,1,9],[128,0,32,32,1,9]]"));
}

}  // namespace
}  // namespace qova::test
