#include "capture/capture_command.h"

#include <gtest/gtest.h>

namespace qova {
namespace {

// An opt-in start takes what it understands and defaults the rest; anything else is a plain start.
TEST(CaptureCommand, APictureIsAskedOnlyByAVersionedObjectAndBadMembersTakeTheirDefaults) {
  const PictureRequest d;  // 30 fps, full resolution, pointer drawn in
  const struct {
    const char* picture;
    std::optional<PictureRequest> expected;
  } cases[] = {
      {R"({"version":1,"fps":12,"maxSide":800,"cursor":true})", PictureRequest{12, 800, true}},
      {R"({"version":7,"future":{"x":1}})", d},
      {R"({"version":1,"fps":31,"maxSide":15,"cursor":1})", d},
      {R"({"version":1,"fps":0,"maxSide":16385})", d},
      {R"({"version":1,"fps":12.5,"maxSide":"800","cursor":"true"})", d},
      {R"({"version":1,"fps":1,"maxSide":16384})", PictureRequest{1, 16384, false}},
      {R"({"version":1,"maxSide":18446744073709551615})", d},
      {R"({"version":0,"fps":12})", std::nullopt},
      {R"({"fps":12})", std::nullopt},
      {R"("picture")", std::nullopt},
  };
  for (const auto& c : cases) {
    const auto command = decodeCaptureCommand(std::string(R"({"action":"start","picture":)") + c.picture + "}");
    EXPECT_EQ(command.action, CaptureAction::start) << c.picture;
    EXPECT_EQ(command.picture, c.expected) << c.picture;
  }
}

TEST(CaptureCommand, RefreshAndTuneAreTheirOwnActionsAndABadTuneIsNone) {
  const struct {
    const char* command;
    CaptureAction action;
    double quality;
  } cases[] = {
      {R"({"action":"refresh","picture":{"version":1}})", CaptureAction::refresh, 0},
      {R"({"action":"tune","quality":0.1})", CaptureAction::tune, 0.1},
      {R"({"action":"tune","quality":1})", CaptureAction::none, 0},
      {R"({"action":"tune","quality":0.05})", CaptureAction::none, 0},
      {R"({"action":"tune","quality":"0.5"})", CaptureAction::none, 0},
      {R"({"action":"tune","display":4294967295})", CaptureAction::tune, 0},
      {R"({"action":"tune","display":4294967296})", CaptureAction::none, 0},
      {R"({"action":"tune","quality":1,"display":3})", CaptureAction::none, 0},
      {R"({"action":"stop","picture":{"version":1}})", CaptureAction::stop, 0},
  };
  for (const auto& c : cases) {
    const auto command = decodeCaptureCommand(c.command);
    EXPECT_EQ(command.action, c.action) << c.command;
    EXPECT_EQ(command.quality, c.quality) << c.command;
    EXPECT_FALSE(command.picture) << c.command;
  }
}

}  // namespace
}  // namespace qova
