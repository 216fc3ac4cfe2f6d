#include "bridge/agent_output_buffer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qova {
namespace {

struct Collector {
  AgentOutputBuffer buffer;
  std::vector<std::string> lines;
  explicit Collector(size_t cap = AgentOutputBuffer::kDefaultMaxLineBytes) : buffer(cap) {}
  void feed(std::string_view chunk) {
    buffer.append(chunk, [this](std::string_view line) { lines.emplace_back(line); });
  }
  void feedInPieces(std::string_view data, size_t piece) {
    for (size_t i = 0; i < data.size(); i += piece) feed(data.substr(i, piece));
  }
};

TEST(AgentOutputBuffer, LinesAreRoutedOnlyWhenTheirLineFeedArrives) {
  Collector c;
  c.feed("connec");
  EXPECT_TRUE(c.lines.empty());
  c.feed("ting\nsecond\nthird-unfinished");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"connecting", "second"}));
  EXPECT_EQ(c.buffer.pendingBytes(), std::string("third-unfinished").size());
  c.feed("\n\n");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"connecting", "second", "third-unfinished", ""}));
}

TEST(AgentOutputBuffer, ALineSplitIntoOneByteChunksArrivesOnceAndWhole) {
  const std::string line = "__QOVA_INPUT__{\"action\":\"text\",\"text\":\"你好，世界\"}";
  Collector c;
  c.feedInPieces(line + "\n" + line + "\n", 1);
  EXPECT_EQ(c.lines, (std::vector<std::string>{line, line}));
}

TEST(AgentOutputBuffer, AMultiByteCharacterSplitBetweenReadsSurvives) {
  const std::string text = "状态\n";  // 3-byte characters
  for (size_t cut = 1; cut < text.size(); ++cut) {
    Collector c;
    c.feed(text.substr(0, cut));
    c.feed(text.substr(cut));
    ASSERT_EQ(c.lines, (std::vector<std::string>{"状态"})) << "cut at " << cut;
  }
}

TEST(AgentOutputBuffer, CarriageReturnStaysInTheLine) {
  Collector c;
  c.feed("a\r\nb\rc\n");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"a\r", "b\rc"}));
}

TEST(AgentOutputBuffer, OnlyTheInvalidLineIsDropped) {
  Collector c;
  c.feed("good one\nbad \xff\xfe line\nstray continuation \x80\ntruncated \xe4\xbd\nalso good\n");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"good one", "also good"}));
}

TEST(AgentOutputBuffer, OverlongLinesAreDroppedWholeAndTheNextLineSurvives) {
  Collector c(64);
  c.feed(std::string(40, 'a'));
  c.feed(std::string(40, 'b'));  // now over the cap without a line feed
  EXPECT_EQ(c.buffer.pendingBytes(), 0u);
  c.feed(std::string(1000, 'c'));
  c.feed("tail of the long line\nnext\n");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"next"}));

  // A long line that arrives whole in one chunk is dropped the same way.
  c.lines.clear();
  c.feed(std::string(65, 'x') + "\nafter\n");
  EXPECT_EQ(c.lines, (std::vector<std::string>{"after"}));

  // A line exactly at the cap passes.
  c.lines.clear();
  c.feed(std::string(64, 'y') + "\n");
  ASSERT_EQ(c.lines.size(), 1u);
  EXPECT_EQ(c.lines[0].size(), 64u);
}

TEST(AgentOutputBuffer, ManyLinesInOneChunkKeepTheirOrder) {
  std::string chunk;
  for (int i = 0; i < 1000; ++i) chunk += "line " + std::to_string(i) + "\n";
  Collector c;
  c.feedInPieces(chunk, 4093);
  ASSERT_EQ(c.lines.size(), 1000u);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(c.lines[i], "line " + std::to_string(i));
}

}  // namespace
}  // namespace qova
