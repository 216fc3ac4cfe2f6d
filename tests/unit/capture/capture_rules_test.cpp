#include "capture/capture_rules.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "capture/frame_message.h"
#include "capture/frame_pacer.h"

namespace qova {
namespace {

TEST(CaptureAction, OnlyExactStartAndStopStringsAskForAnything) {
  EXPECT_EQ(decodeCaptureAction(R"({"action":"start"})"), CaptureAction::start);
  EXPECT_EQ(decodeCaptureAction(R"({"action":"stop"})"), CaptureAction::stop);
  EXPECT_EQ(decodeCaptureAction(" {\n \"fps\" : 60, \"action\" : \"start\", \"quality\": 1 } "), CaptureAction::start);
  for (const char* ignored : {R"({"action":"Start"})", R"({"action":1})", R"({"act":"start"})", "", "start",
                              R"({"action":"start")", "\xFF\xFE{}", R"({"action":"stop"} trailing)"}) {
    EXPECT_EQ(decodeCaptureAction(ignored), CaptureAction::none) << ignored;
  }
  // A raw NUL ends the parser's input early, so what follows it would go unread.
  EXPECT_EQ(decodeCaptureAction(std::string("{\"action\":\"stop\"}\0junk", 21)), CaptureAction::none);
}

TEST(FramePacer, SamplesAChangeAtOnceAfterAQuietSpellAndAtMostOncePerInterval) {
  using namespace std::chrono_literals;
  const SamplePacing::TimePoint t{};
  FramePacer pacer(100ms);
  EXPECT_EQ(pacer.due(), std::nullopt);
  pacer.changed(t + 5ms);
  EXPECT_EQ(pacer.due(), t + 5ms);
  pacer.sampled(t + 5ms);
  EXPECT_EQ(pacer.due(), std::nullopt);
  pacer.changed(t + 30ms);
  pacer.changed(t + 90ms);
  EXPECT_EQ(pacer.due(), t + 105ms);
  pacer.sampled(t + 105ms);
  pacer.changed(t + 1105ms);
  EXPECT_EQ(pacer.due(), t + 1105ms);
}

TEST(CaptureFrameSize, LongerSideIsBroughtTo1280InDoublePrecision) {
  const struct {
    int64_t w, h;
    FrameSize expected;
  } cases[] = {{900, 1440, {800, 1280}}, {1024, 768, {1024, 768}}, {0, -5, {1, 1}}, {100000, 10, {1280, 1}}};
  for (const auto& c : cases) {
    EXPECT_EQ(captureFrameSize(c.w, c.h, 1280.0), c.expected) << c.w << "x" << c.h;
  }
}

TEST(ChooseCaptureDisplay, TheWantedOneThenTheMainDisplayWinsWhereverListedElseTheFirst) {
  const std::vector<CaptureDisplay> displays = {{11, 1920, 1080}, {22, 1440, 900}, {22, 800, 600}, {33, 640, 480}};
  EXPECT_EQ(chooseCaptureDisplay(displays, 22)->width, 1440);
  EXPECT_EQ(chooseCaptureDisplay(displays, 99)->displayId, 11u);
  EXPECT_EQ(chooseCaptureDisplay(displays, 22, 33)->displayId, 33u);
  EXPECT_EQ(chooseCaptureDisplay(displays, 22, 44)->width, 1440);  // gone: the main one
  EXPECT_FALSE(chooseCaptureDisplay({}, 11));
}

TEST(FrameHeaderLine, IsTheMarkerAndSixIntegerMembersOnOneCompactLine) {
  const std::string line = frameHeaderLine({1280, 800, 1440, 900, 123456, 1733480000123});
  ASSERT_EQ(line.rfind("__QOVA_FRAME_BYTES__{", 0), 0u);
  ASSERT_EQ(line.back(), '\n');
  const std::string json = line.substr(20, line.size() - 21);
  EXPECT_EQ(json.find_first_of(" \n\t"), std::string::npos);
  const auto header = nlohmann::json::parse(json);
  for (const auto& [key, value] : header.items()) EXPECT_TRUE(value.is_number_integer()) << key;
  EXPECT_EQ(header, nlohmann::json::parse(R"({"width": 1280, "height": 800, "inputWidth": 1440, "inputHeight": 900,
                                                "bytes": 123456, "timestamp": 1733480000123})"));
}

}  // namespace
}  // namespace qova
