#include "input_stream_parser.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace qova::agent {
namespace {

std::string frameMessage(const std::string& jpeg) {
  return "__QOVA_FRAME_BYTES__{\"timestamp\":1700000000123,\"bytes\":" + std::to_string(jpeg.size()) +
         ",\"inputHeight\":900,\"width\":1280,\"inputWidth\":1440,\"height\":800}\n" + jpeg;
}

// JPEG-like bytes that hold line feeds, NULs and both markers: the end must come from "bytes".
const std::string kAwkwardJpeg = std::string("\xFF\xD8\n\n\0\x01", 6) +
                                 "__QOVA_PERMISSION__{\"screen\":false,\"input\":false}\n"
                                 "__QOVA_FRAME_BYTES__{\"bytes\":3}\nabc\xFF\xD9";

std::vector<InputStreamMessage> feedAll(InputStreamParser& parser, const std::string& stream, std::size_t piece) {
  std::vector<InputStreamMessage> out;
  for (std::size_t i = 0; i < stream.size(); i += piece) parser.feed(std::string_view(stream).substr(i, piece), out);
  return out;
}

TEST(InputStreamParser, FrameBodyIsDelimitedByItsByteCountInEverySplit) {
  const auto stream = frameMessage(kAwkwardJpeg) + "__QOVA_PERMISSION__{\"input\":true,\"screen\":true}\n" + frameMessage("xyz");
  for (std::size_t piece : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{64}, stream.size()}) {
    InputStreamParser parser;
    const auto messages = feedAll(parser, stream, piece);
    ASSERT_EQ(messages.size(), 3u) << "piece " << piece;
    const auto& f = std::get<FrameMessage>(messages[0]);
    EXPECT_EQ(std::tie(f.jpeg, f.width, f.height, f.inputWidth, f.inputHeight, f.timestamp),
              std::make_tuple(kAwkwardJpeg, 1280, 800, 1440, 900, std::int64_t{1700000000123}));
    EXPECT_EQ(std::get<PermissionState>(messages[1]), (PermissionState{true, true}));
    EXPECT_EQ(std::get<FrameMessage>(messages[2]).jpeg, "xyz");
    EXPECT_EQ(parser.pendingBytes(), 0u);
  }
}

TEST(InputStreamParser, ResynchronisesAtTheNextMarkerAfterGarbage) {
  const std::string stream = std::string("noise\n\xFF\xFE partial __QOVA_PERM") +
                             "__QOVA_PERMISSION__{\"screen\":true,\"input\":false}\n" + "more noise without a line feed " +
                             frameMessage("JPEG");
  InputStreamParser parser;
  const auto messages = feedAll(parser, stream, 5);
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(std::get<PermissionState>(messages[0]), (PermissionState{true, false}));
  EXPECT_EQ(std::get<FrameMessage>(messages[1]).jpeg, "JPEG");
}

TEST(InputStreamParser, DropsMalformedMessagesAndKeepsTheFollowingOnes) {
  const std::vector<std::string> bad = {
      "__QOVA_PERMISSION__{\"screen\":1,\"input\":true}\n",       // not a boolean
      "__QOVA_PERMISSION__{\"screen\":true}\n",                   // member missing
      "__QOVA_PERMISSION__[true,false]\n",                        // not an object
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10}\nXX",  // no bytes
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":2.5}\nXX",
      "__QOVA_FRAME_BYTES__{\"width\":0,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":2}\nXX",
      "__QOVA_FRAME_BYTES__{\"width\":10,\"height\":10,\"inputWidth\":10,\"inputHeight\":10,\"bytes\":-2}\nXX",
      "__QOVA_FRAME_BYTES__{cut off\nXX",
  };
  for (const auto& message : bad) {
    InputStreamParser parser;
    const auto messages = feedAll(parser, message + frameMessage("ok"), 3);
    ASSERT_EQ(messages.size(), 1u) << message;
    EXPECT_EQ(std::get<FrameMessage>(messages[0]).jpeg, "ok") << message;
  }
}

TEST(InputStreamParser, RefusesFramesOverTheSizeCapWithoutWaitingForThem) {
  InputStreamParser parser(1000);
  std::vector<InputStreamMessage> out;
  parser.feed("__QOVA_FRAME_BYTES__{\"width\":1,\"height\":1,\"inputWidth\":1,\"inputHeight\":1,\"bytes\":1001}\n", out);
  parser.feed(frameMessage(std::string(1000, 'j')), out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<FrameMessage>(out[0]).jpeg.size(), 1000u);
}

TEST(InputStreamParser, AHeaderLineThatNeverEndsDoesNotGrowWithoutBound) {
  InputStreamParser parser;
  std::vector<InputStreamMessage> out;
  parser.feed("__QOVA_PERMISSION__{", out);
  const std::string filler(1 << 20, 'a');
  parser.feed(filler, out);
  EXPECT_LE(parser.pendingBytes(), InputStreamParser::kMaxHeaderLine + 64);
  parser.feed("\n__QOVA_PERMISSION__{\"screen\":false,\"input\":true}\n", out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<PermissionState>(out[0]), (PermissionState{false, true}));
}

TEST(InputStreamParser, AMarkerSplitAtTheEndOfAReadIsFoundOnceTheRestArrives) {
  InputStreamParser parser;
  std::vector<InputStreamMessage> out;
  parser.feed(std::string(100000, 'g') + "__QOVA_FRAME_", out);
  EXPECT_LT(parser.pendingBytes(), 32u);
  parser.feed("BYTES__{\"width\":2,\"height\":2,\"inputWidth\":4,\"inputHeight\":4,\"bytes\":1}\nZ", out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(std::get<FrameMessage>(out[0]).jpeg, "Z");
  EXPECT_EQ(std::get<FrameMessage>(out[0]).timestamp, 0);  // without one it is still a frame
}

}  // namespace
}  // namespace qova::agent
