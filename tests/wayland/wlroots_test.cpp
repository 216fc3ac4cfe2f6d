// The wlroots backend against a real headless sway: screen copy, virtual input and the clipboard,
// alone and through the real application with the test agent. sway's own key and button bindings
// write down the input that reaches it.
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <set>
#include <sstream>

#include "base/serial_queue.h"
#include "platform/linux/wayland/wlroots_input.h"
#include "platform/linux/wayland/wlroots_screen_capture.h"
#include "support/recorded_frames.h"
#include "support/running_application.h"
#include "support/sway_session.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;

// Each binding appends its name to the events file in sway's runtime folder.
std::string swayConfig() {
  std::string config = "output * bg #336699 solid_color\nfor_window [title=\".*\"] floating enable\n";
  const std::pair<const char*, const char*> bindings[] = {{"--whole-window button1", "press"},
                                                          {"--whole-window --release button1", "release"},
                                                          {"--whole-window button3", "right"},
                                                          {"--whole-window button4", "wheel-up"},
                                                          {"--whole-window button5", "wheel-down"},
                                                          {"Ctrl+Shift+a", "ctrl-shift-a"},
                                                          {"Mod1+b", "alt-b"},
                                                          {"Ctrl+v", "paste"},
                                                          {"at", "at"},
                                                          {"eacute", "e-acute"}};
  for (const auto& [keys, name] : bindings) {
    config += std::string("bindsym ") + keys + " exec echo " + name + " >> $XDG_RUNTIME_DIR/events\n";
  }
  return config;
}

// The bindings that ran, in alphabetical order: each runs in a shell of its own, so they may finish
// out of order.
std::string events(const SwaySession& sway) {
  std::ifstream in(sway.folder() + "/events");
  std::multiset<std::string> names{std::istream_iterator<std::string>(in), {}};
  std::string all;
  for (const auto& name : names) all += name + " ";
  return all;
}

// The colour at a point given as fractions of a BGRX picture's size, as 0xRRGGBB with each channel
// rounded to 16 steps.
uint32_t colourAt(const PixelBuffer& b, double x, double y) {
  const uint8_t* p = b.data + static_cast<size_t>(y * b.height) * b.bytesPerRow + static_cast<size_t>(x * b.width) * 4;
  const auto step = [](int v) { return static_cast<uint32_t>((v + 8) / 17 * 17); };
  return step(p[2]) << 16 | step(p[1]) << 8 | step(p[0]);
}
// A tenth in from the top left corner: clear of windows and the cursor.
uint32_t backgroundColour(const PixelBuffer& b) { return colourAt(b, 0.1, 0.1); }

struct Recorder : ScreenStreamClient {
  void didOutputSample(const ScreenSample& sample) override {
    std::lock_guard lock(mutex);
    if (sample.imageBuffer) colours.push_back(backgroundColour(*sample.imageBuffer)), last = sample.imageBuffer;
  }
  void didStopWithError() override { ++stops; }
  std::vector<uint32_t> seen() {
    std::lock_guard lock(mutex);
    return colours;
  }
  std::mutex mutex;
  std::vector<uint32_t> colours;
  std::optional<PixelBuffer> last;
  std::atomic<int> stops{0};
};

// Stillness and changes are seen through the application below.
TEST(WlrootsBackend, CopiesTheFirstOutputWhateverOthersComeUntilTheCompositorIsGone) {
  SwaySession sway(swayConfig());
  ASSERT_TRUE(sway.running());
  WlrootsScreenCapture capture;
  const auto content = capture.shareableContent();
  ASSERT_TRUE(content && content->displays.size() == 1);
  EXPECT_EQ(std::make_pair(content->displays[0].width, content->displays[0].height), std::make_pair(1280L, 720L));
  EXPECT_EQ(capture.mainDisplayId(), content->displays[0].displayId);
  auto recorder = std::make_shared<Recorder>();
  auto stream = capture.makeStream(content->displays[0], {640, 360, {1, 10}, 2, true}, recorder,
                                   std::make_shared<SerialQueue>("test.stream"));
  ASSERT_TRUE(stream && stream->startCapture());
  // sway's own grey comes first until its background client has drawn.
  ASSERT_TRUE(waitUntil([&] { return !recorder->seen().empty() && recorder->seen().back() == 0x336699u; }, 5s));

  // A second output is listed after the first, which stays the main display and the one copied.
  sway.message("create_output");
  sway.message("output HEADLESS-2 bg '#22aa44' solid_color");
  ASSERT_TRUE(waitUntil([&] { return capture.shareableContent()->displays.size() == 2; }, 5s));
  EXPECT_EQ(capture.mainDisplayId(), content->displays[0].displayId);
  EXPECT_EQ(capture.shareableContent()->displays[1].name, "HEADLESS-2");
  // The first output may show sway's grey for a moment while its background client redraws.
  EXPECT_TRUE(waitUntil([&] { return recorder->seen().back() == 0x336699u; }, 5s));
  const auto seen = recorder->seen();
  EXPECT_EQ(std::count(seen.begin(), seen.end(), 0x22aa44u), 0);

  // A compositor that goes away ends the stream, which says so once.
  sway.message("exit");
  EXPECT_TRUE(waitUntil([&] { return recorder->stops == 1; }, 5s));
  stream->stopCapture();
  EXPECT_EQ(recorder->stops, 1);
}

TEST(WlrootsBackend, TurnsEveryOutputTransformUpright) {
  // A background of four quadrants, red at the top left and blue at the bottom right, which the
  // compositor shows upright whatever the output's transform.
  const std::string picture = "/tmp/qova-quadrants-" + std::to_string(getpid()) + ".ppm";
  {
    std::ofstream out(picture);
    out << "P3 10 10 255";  // large enough that smoothing the stretch blends only the borders
    for (int i = 0; i < 100; ++i)
      out << (i % 10 < 5 ? (i < 50 ? " 255 0 0" : " 255 255 255") : (i < 50 ? " 255 255 255" : " 0 0 255"));
    out << "\n";
  }
  SwaySession sway("output * bg " + picture + " stretch\n");
  ASSERT_TRUE(sway.running());
  WlrootsScreenCapture capture;
  auto recorder = std::make_shared<Recorder>();
  auto stream = capture.makeStream(capture.shareableContent()->displays.at(0), {320, 320, {1, 10}, 2, false}, recorder,
                                   std::make_shared<SerialQueue>("test.stream"));
  ASSERT_TRUE(stream && stream->startCapture());
  size_t before = 0;
  const auto upright = [&] {  // a frame made since the change, and the right way up
    std::lock_guard lock(recorder->mutex);
    return recorder->colours.size() > before && colourAt(*recorder->last, 0.2, 0.2) == 0xff0000u &&
           colourAt(*recorder->last, 0.8, 0.8) == 0x0000ffu && colourAt(*recorder->last, 0.8, 0.2) == 0xffffffu;
  };
  for (const char* transform : {"normal", "90", "180", "270", "flipped", "flipped-90", "flipped-180", "flipped-270"}) {
    before = recorder->seen().size();
    sway.message(std::string("output HEADLESS-1 transform ") + transform);
    EXPECT_TRUE(waitUntil(upright, 3s)) << transform;
  }
  stream->stopCapture();
  std::filesystem::remove(picture);
}

std::string focusedOutput(const SwaySession& sway) {
  std::smatch found;
  const std::string outputs = sway.message("-t get_outputs");
  std::regex_search(outputs, found, std::regex(R"re("name": "([^"]+)"(?:(?!"name")[\s\S])*?"focused": true)re"));
  return found.empty() ? "" : found[1].str();
}

std::string pasted() {
  FILE* pipe = popen("wl-paste -n 2>&1", "r");
  std::string text(4096, '\0');
  text.resize(pipe ? fread(text.data(), 1, text.size(), pipe) : 0);
  if (pipe) pclose(pipe);
  return text;
}

TEST(WlrootsBackend, PointerKeysAndClipboardArriveOnTheMainOutput) {
  SwaySession sway(swayConfig());
  ASSERT_TRUE(sway.running());
  sway.message("create_output");
  sway.message("focus output HEADLESS-2");
  ASSERT_EQ(focusedOutput(sway), "HEADLESS-2");
  WlrootsInput input;
  // A click lands on the main output, whatever else the layout holds.
  input.postMouseEvent(MouseEventType::leftMouseDown, 1270, 700, MouseButton::left);
  input.postMouseEvent(MouseEventType::leftMouseUp, 1270, 700, MouseButton::left);
  input.postMouseEvent(MouseEventType::rightMouseDown, 5, 5, MouseButton::right);
  input.postMouseEvent(MouseEventType::rightMouseUp, 5, 5, MouseButton::right);
  input.postMouseEvent(MouseEventType::leftMouseDown, 10, 10, MouseButton::left);
  input.postMouseEvent(MouseEventType::leftMouseDragged, 400, 300, MouseButton::left);
  input.postMouseEvent(MouseEventType::leftMouseUp, 400, 300, MouseButton::left);
  input.postScrollWheel(2);
  input.postScrollWheel(-1);
  input.postKeyEvent(0, true, kModifierCommand | kModifierShift);  // a
  input.postKeyEvent(0, false, kModifierCommand | kModifierShift);
  input.postKeyEvent(11, true, kModifierAlternate);  // b
  input.postKeyEvent(11, false, kModifierAlternate);
  input.postKeyEvent(11, true, 0);  // no binding: the modifiers were let go
  input.postKeyEvent(11, false, 0);
  // "@" is Shift and a key of the US keymap; "é" a key the keymap is sent anew with.
  EXPECT_TRUE(input.postCharacter(U'@') && input.postCharacter(U'é'));
  const std::string expected =
      "alt-b at ctrl-shift-a e-acute press press release release right wheel-down wheel-up wheel-up ";
  EXPECT_TRUE(waitUntil([&] { return events(sway).size() >= expected.size(); }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(events(sway), expected);
  EXPECT_EQ(focusedOutput(sway), "HEADLESS-1");

  const std::string text = "多行\n中文 😀 text";
  ASSERT_TRUE(input.setString(text));
  EXPECT_EQ(pasted(), text);

  // What is copied from then on is told; what was there already is not.
  std::mutex mutex;
  std::vector<std::string> told;
  const auto seen = [&] {
    std::lock_guard lock(mutex);
    return told;
  };
  input.watchPasteboard(
      [&](std::string copied) {
        std::lock_guard lock(mutex);
        told.push_back(std::move(copied));
      },
      1 << 20);
  ASSERT_EQ(std::system("wl-copy '复制 copied'"), 0);
  EXPECT_TRUE(waitUntil([&] { return !seen().empty(); }, 5s));
  input.stopWatchingPasteboard();
  EXPECT_EQ(seen(), std::vector<std::string>{"复制 copied"});
  // Following the second output, the pointer goes there.
  input.followDisplay(WlrootsScreenCapture().shareableContent()->displays.at(1).displayId);
  input.moveCursor(600, 300);
  EXPECT_TRUE(waitUntil([&] { return focusedOutput(sway) == "HEADLESS-2"; }, 5s));
}

TEST(WlrootsApplication, ChoosesWlrootsUnderSwayAndServesItsPictureAndInput) {
  SwaySession sway(swayConfig());
  ASSERT_TRUE(sway.running());
  TestBundle bundle;
  const std::string text = "中文😀\\u000a第二行";  // a line feed in JSON, which the script keeps as it is
  bundle.setScript({"write __QOVA_CAPTURE__{\"action\":\"start\"}\\n",
                    "write __QOVA_INPUT__{\"action\":\"tap\",\"x\":100,\"y\":100}\\n",
                    "write __QOVA_INPUT__{\"action\":\"key\",\"key\":\"a\",\"modifiers\":[\"cmd\",\"shift\"]}\\n",
                    "write __QOVA_INPUT__{\"action\":\"text\",\"text\":\"" + text + "\"}\\n", "hang"});
  RunningApplication app(bundle);
  app.environment = {"QT_QPA_PLATFORM=wayland"};  // its window on the compositor, floating
  auto ended = app.start({"--auto-start"});
  // However the test ends, the application is asked to end as a user would.
  const std::shared_ptr<void> ending(nullptr, [&](void*) {
    long agent = 0, application = 0;
    std::istringstream(bundle.readRecord("pid.txt")) >> agent >> application;
    if (application > 0) kill(static_cast<pid_t>(application), SIGTERM);
    EXPECT_EQ(ended.wait_for(20s), std::future_status::ready);
  });
  // The background colour of each frame; the last picture is kept for a person to look at.
  const auto frames = [&] {
    std::vector<uint32_t> colours;
    for (auto& f : recordedFrames(bundle.readRecord("stdin.bin"), "wlroots-frame.jpg")) {
      colours.push_back(backgroundColour({f.width, f.height, f.width * 4, f.bgrx.data(), nullptr}));
    }
    return colours;
  };

  ASSERT_TRUE(waitUntil([&] { return events(sway) == "ctrl-shift-a paste press release "; }, 20s)) << events(sway);
  EXPECT_EQ(pasted(), "中文😀\n第二行");
  ASSERT_TRUE(waitUntil([&] { return !frames().empty(); }, 5s));
  EXPECT_EQ(frames().back(), 0x336699u);
  std::this_thread::sleep_for(1500ms);  // the window's status settles
  const size_t still = frames().size();
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(frames().size(), still);
  sway.message("output '*' bg '#cc3311' solid_color");
  EXPECT_TRUE(waitUntil([&] { return frames().back() == 0xcc3311u; }, 5s));
  EXPECT_NE(bundle.readRecord("env.txt").find("QOVA_MAC_INPUT_TRUSTED=1"), std::string::npos);
  EXPECT_NE(bundle.readRecord("env.txt").find("QOVA_MAC_SCREEN_TRUSTED=1"), std::string::npos);
}

}  // namespace
}  // namespace qova::test
