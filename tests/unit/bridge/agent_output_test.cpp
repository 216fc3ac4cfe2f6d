// The agent's output: from chunks of any size to lines, and each line to where it belongs.
#include <gtest/gtest.h>

#include <algorithm>
#include <latch>
#include <thread>

#include "bridge/agent_line_routing.h"
#include "bridge/agent_output_buffer.h"
#include "capture/capture_session.h"
#include "support/controller_fixture.h"

namespace qova::test {
namespace {

using Lines = std::vector<std::string>;

Lines linesOf(const std::vector<std::string>& chunks, AgentOutputBuffer buffer = AgentOutputBuffer()) {
  Lines lines;
  for (const auto& chunk : chunks) buffer.append(chunk, [&](std::string_view line) { lines.emplace_back(line); });
  return lines;
}

TEST(AgentOutputBuffer, TurnsChunksIntoLines) {
  struct Case {
    std::vector<std::string> chunks;
    Lines lines;
  };
  const Case cases[] = {
      {{"connec", "ting\nsecond\nthird-unfinished"}, {"connecting", "second"}},
      {{"unfinished", "\n\n"}, {"unfinished", ""}},
      {{"a\r\nb\rc\n"}, {"a\r", "b\rc"}},              // a carriage return stays in its line
      {{"\xe7\x8a", "\xb6\xe6\x80\x81\n"}, {"状态"}},  // a character split between reads
      {{"good\nbad \xff\xfe\nstray \x80\ncut \xe4\xbd\noverlong \xe0\x9f\xbf\nalso good\n"}, {"good", "also good"}},  // only invalid lines go
  };
  for (const Case& c : cases) EXPECT_EQ(linesOf(c.chunks), c.lines) << c.chunks[0];
}

TEST(AgentOutputBuffer, DropsLinesOverTheCapWholeAndKeepsNoBytesOfThem) {
  AgentOutputBuffer buffer(64);
  Lines lines;
  const auto feed = [&](const std::string& chunk) {
    buffer.append(chunk, [&](std::string_view l) { lines.emplace_back(l); });
  };
  feed(std::string(40, 'a'));
  feed(std::string(40, 'b'));
  EXPECT_EQ(buffer.pendingBytes(), 0u);
  feed("short tail\nnext\n");  // the end of the long line, short as it is, goes with it
  feed(std::string(1000, 'c') + "tail\n" + std::string(65, 'x') + "\nafter\n" + std::string(64, 'y') + "\n");
  EXPECT_EQ(lines, (Lines{"next", "after", std::string(64, 'y')}));
}

TEST(AgentLineRouting, MarkersAreExactPrefixesAndTheFirstKnownStatusWordWins) {
  const std::tuple<std::string_view, AgentLineKind, std::string_view> markers[] = {
      {"__QOVA_INPUT__{\"a\":1}", AgentLineKind::inputCommand, "{\"a\":1}"},
      {"__QOVA_CAPTURE__", AgentLineKind::captureCommand, ""},
      {"__QOVA_FILE_RECEIVED__/x", AgentLineKind::fileReceived, "/x"},
      {"__QOVA_HELLO__{}", AgentLineKind::hello, "{}"},
      {"__QOVA_VIEWERS__{}", AgentLineKind::viewers, "{}"},
      {" __QOVA_INPUT__{}", AgentLineKind::status, " __QOVA_INPUT__{}"},
      {"__qova_input__{}", AgentLineKind::status, "__qova_input__{}"},
  };
  for (const auto& [line, kind, payload] : markers) {
    EXPECT_EQ(classifyAgentLine(line).kind, kind) << line;
    EXPECT_EQ(classifyAgentLine(line).payload, payload) << line;
  }
  const std::pair<std::string_view, std::optional<std::string_view>> statuses[] = {
      {"another client replaced this device session; failed", "检测到另一个客户端在线"},
      {"[agent] connected, previous closed", "在线，等待 H5 控制"},
      {"reconnecting ... failed", "正在连接服务器"},
      {"handshake failed", "连接中"},
      {"Connecting", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& [line, text] : statuses) EXPECT_EQ(statusTextForLine(line), text) << line;
}

TEST(AgentLineRouting, ANewDeviceIdIsTheDigitsRightAfterItsPrefix) {
  const std::pair<std::string, std::optional<std::string_view>> lines[] = {
      {"[agent] this device's ID is now 123456790: the server knew 123456789 under another key", "123456790"},
      {"[agent] this device's ID is now : lost", std::nullopt},
      {"[agent] this device's ID is now " + std::string(21, '1'), std::nullopt},
      {" [agent] this device's ID is now 123456790", std::nullopt},
  };
  for (const auto& [line, id] : lines) EXPECT_EQ(deviceIdForLine(line), id) << line;
}

TEST_F(ControllerTest, ANewDeviceIdReachesTheWindowOnTheMainThread) {
  delegate->handleAgentOutput("[agent] this device's ID is now 123456790: the server knew 123456789\n");
  main().runPending();
  EXPECT_EQ(static_cast<FakeLabel&>(*delegate->idValue).text(), "123456790");
}

TEST_F(ControllerTest, StatusLinesReachTheWindowInOrderOnTheMainThreadAndMarkersNever) {
  delegate->handleAgentOutput("[agent] connecting\nplain log\n__QOVA_CAPTURE__{\"action\":\"failed\"}\n");
  EXPECT_EQ(status().text(), "未启动");  // nothing changes until the main thread runs
  main().runPending();
  delegate->handleAgentOutput("__QOVA_INPUT__closed\nconnecting \xff\nhandshake failed\n");
  main().runPending();
  EXPECT_EQ(status().history, (Lines{"正在连接服务器", "连接中"}));
}

TEST_F(ControllerTest, StatusLinesFasterThanTheMainThreadKeepOneChangeWaitingTheNewest) {
  for (int i = 0; i < 10'000; ++i) delegate->handleAgentOutput(i % 2 ? "socket closed\n" : "[agent] connecting\n");
  EXPECT_LE(main().pendingCount(), 1u);
  main().runPending();
  EXPECT_EQ(status().history, (Lines{"连接中"}));
}

TEST_F(ControllerTest, NothingAStoppedOrReplacedAgentStillSaysIsActedOn) {
  const std::pair<const char*, void (*)(ControllerTest&)> ends[] = {
      {"stop", [](ControllerTest& t) { t.delegate->stopClicked(); }},
      {"restart",
       [](ControllerTest& t) {
         t.delegate->restartAgent();
         t.main().advance(std::chrono::seconds(1));
       }},
  };
  launchApp();
  const int listings = fakes.workspace->listings;
  for (const auto& [name, end] : ends) {
    SCOPED_TRACE(name);
    delegate->startAgent();
    const ChildHandlers old = launches().back().handlers;
    end(*this);
    const size_t statuses = status().history.size();
    old.onOutput("__QOVA_INPUT__{\"action\":\"tap\"}\n__QOVA_CAPTURE__{\"action\":\"start\"}\n");
    old.onOutput("__QOVA_FILE_RECEIVED__\nanother client replaced this device session\n");
    main().runPending();
    delegate->capture->captureQueue->drain();
    EXPECT_TRUE(fakes.eventPoster->take().empty());
    EXPECT_FALSE(delegate->capture->captureActive);
    EXPECT_EQ(fakes.workspace->listings, listings);
    EXPECT_EQ(status().history.size(), statuses);
  }
}

TEST_F(ControllerTest, ReadersOfTwoAgentsDeliveringAtOnceNeverMixTheirLines) {
  launchApp();
  delegate->startAgent();
  delegate->stopClicked();  // the first agent's reader keeps delivering what it still writes
  delegate->startAgent();
  std::latch bothReady(2);
  constexpr int kLines = 20000;
  // Each line arrives in two reads cut inside its action, so a line glued from halves of two agents'
  // lines is either no command or the other agent's scroll.
  auto feed = [&bothReady](const ChildHandlers& handlers, std::string_view head, std::string_view tail) {
    bothReady.arrive_and_wait();
    for (int i = 0; i < kLines; ++i) {
      handlers.onOutput(head);
      handlers.onOutput(tail);
    }
  };
  std::thread oldReader(feed, launches()[0].handlers, "__QOVA_INPUT__{\"action\":\"scr", "oll\",\"deltaY\":2}\n");
  std::thread newReader(feed, launches()[1].handlers, "__QOVA_INPUT__{\"action\":\"scr", "oll\",\"deltaY\":1}\n");
  oldReader.join();
  newReader.join();
  // Only the running agent's commands are carried out, every one of them.
  const auto events = fakes.eventPoster->take();
  EXPECT_EQ(events.size(), size_t{kLines});
  EXPECT_EQ(std::count(events.begin(), events.end(), PostedEvent::scroll(-1)), kLines);
}

}  // namespace
}  // namespace qova::test
