#include "bridge/agent_line_routing.h"

#include <gtest/gtest.h>

namespace qova {
namespace {

TEST(AgentLineRouting, MarkersAreExactPrefixesTestedInOrder) {
  struct Case {
    std::string_view line;
    AgentLineKind kind;
    std::string_view payload;
  };
  const Case cases[] = {
      {"__QOVA_INPUT__{\"action\":\"tap\"}", AgentLineKind::inputCommand, "{\"action\":\"tap\"}"},
      {"__QOVA_CAPTURE__", AgentLineKind::captureCommand, ""},
      {"__QOVA_CAPTURE__{\"action\":\"start\"}", AgentLineKind::captureCommand, "{\"action\":\"start\"}"},
      {"__QOVA_FILE_RECEIVED__/home/u/Downloads/x", AgentLineKind::fileReceived, "/home/u/Downloads/x"},
      {" __QOVA_INPUT__{}", AgentLineKind::status, " __QOVA_INPUT__{}"},
      {"__qova_input__{}", AgentLineKind::status, "__qova_input__{}"},
      {"__QOVA_INPUT_{}", AgentLineKind::status, "__QOVA_INPUT_{}"},
      {"", AgentLineKind::status, ""},
  };
  for (const auto& c : cases) {
    const AgentLine routed = classifyAgentLine(c.line);
    EXPECT_EQ(routed.kind, c.kind) << c.line;
    EXPECT_EQ(routed.payload, c.payload) << c.line;
  }
}

TEST(AgentLineRouting, StatusTableFirstMatchWins) {
  EXPECT_EQ(statusTextForLine("another client replaced this device session; failed"), "检测到另一个客户端在线");
  EXPECT_EQ(statusTextForLine("[agent] connected, previous closed"), "在线，等待 H5 控制");
  EXPECT_EQ(statusTextForLine("device online"), "在线，等待 H5 控制");
  EXPECT_EQ(statusTextForLine("connecting ... failed"), "正在连接服务器");
  EXPECT_EQ(statusTextForLine("reconnectingly"), "正在连接服务器");
  EXPECT_EQ(statusTextForLine("handshake failed"), "连接中");
  EXPECT_EQ(statusTextForLine("socket closed"), "连接中");
  EXPECT_EQ(statusTextForLine("Connecting"), std::nullopt);
  EXPECT_EQ(statusTextForLine("plain log line"), std::nullopt);
  EXPECT_EQ(statusTextForLine(""), std::nullopt);
}

}  // namespace
}  // namespace qova
