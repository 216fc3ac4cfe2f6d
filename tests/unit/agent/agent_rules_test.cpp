// What the application tells the agent and reads from it, as pure functions.
#include <gtest/gtest.h>

#include "agent/agent_extensions.h"
#include "agent/agent_launch.h"
#include "agent/device_identity.h"

namespace qova {
namespace {

using Strings = std::vector<std::string>;

TEST(AgentLaunch, EnvironmentReplacesInheritedBridgeVariablesInPlaceAndAppendsTheRest) {
  EXPECT_EQ(agentEnvironment({"PATH=/bin", "QOVA_MAC_INPUT_TRUSTED=yes", "QOVA_MAC_INPUT_TRUSTED_X=keep"}, false, true),
            (Strings{"PATH=/bin", "QOVA_MAC_INPUT_TRUSTED=0", "QOVA_MAC_INPUT_TRUSTED_X=keep", "QOVA_MAC_INPUT_BRIDGE=1",
                     "QOVA_MAC_CAPTURE_BRIDGE=1", "QOVA_MAC_SCREEN_TRUSTED=1"}));
}

TEST(AgentLaunch, NoLegacyPatternMatchesTheAgentThisApplicationStarts) {
  const auto patterns = legacyProcessPatterns("/home/a user");
  ASSERT_EQ(patterns.size(), 7u);
  EXPECT_EQ(patterns[0], "/home/a user/Applications/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent --nogui");
  const std::string ours = agentPathInBundle("/home/a user/QOVA Lumaro Agent.app/") + " --nogui";
  EXPECT_EQ(ours, "/home/a user/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper --nogui");
  for (const auto& pattern : patterns) EXPECT_EQ(ours.find(pattern), std::string::npos) << pattern;
}

TEST(DeviceIdentity, ReadsTheIdentityLines) {
  struct Case {
    const char* output;
    std::optional<std::string> id, code, server;
  };
  const Case cases[] = {
      {"设备 ID:  123 456\n验证码:\tab12\t\n服务器: relay:21116  \n", "123 456", "ab12", "relay:21116"},
      // every Unicode line end splits, Unicode spaces are trimmed, empty values are kept
      {"设备 ID:1\r\n验证码:\u2028服务器:\u3000\u00a03\u2003\u0085x", "1", "", "3"},
      // every occurrence of a line's prefix is removed; a later line wins
      {"服务器:a服务器:b\n验证码:first\n验证码:second\n", std::nullopt, "second", "ab"},
      // only a leading prefix counts, and only the first one
      {"note 设备 ID:9\n设备 ID:x 验证码:y\n", "x 验证码:y", std::nullopt, std::nullopt},
      {"设备ID:1\nID:2\n", std::nullopt, std::nullopt, std::nullopt},
      {"设备 ID:1\n\xff\n", std::nullopt, std::nullopt, std::nullopt},  // not UTF-8: nothing is read
  };
  for (const Case& c : cases) {
    const DeviceIdentity identity = parseDeviceIdentity(c.output);
    EXPECT_EQ(identity.deviceId, c.id) << c.output;
    EXPECT_EQ(identity.accessCode, c.code) << c.output;
    EXPECT_EQ(identity.server, c.server) << c.output;
  }
}

TEST(AgentExtensions, OnlyWellFormedAsksAndReportsAreTaken) {
  constexpr std::string_view known[] = {"viewers", "other"};
  const std::pair<std::string_view, std::optional<std::string>> hellos[] = {
      {R"({"want":["other","x","viewers"]})", "__QOVA_HELLO__{\"accepted\":[\"viewers\",\"other\"],\"version\":1}\n"},
      {R"({"want":[]})", "__QOVA_HELLO__{\"accepted\":[],\"version\":1}\n"},
      {R"({"want":"viewers"})", std::nullopt},
      {R"([1])", std::nullopt},
  };
  for (const auto& [hello, answer] : hellos) EXPECT_EQ(helloAnswerLine(hello, known), answer) << hello;
  EXPECT_TRUE(helloAnswerGrants(*helloAnswerLine(R"({"want":["viewers"]})", known), "viewers"));
  EXPECT_FALSE(helloAnswerGrants(*helloAnswerLine(R"({"want":["other"]})", known), "viewers"));

  const std::pair<std::string_view, std::optional<std::pair<int64_t, std::string>>> reports[] = {
      {R"({"count":2,"joined":"127.0.0.1"})", std::pair<int64_t, std::string>{2, "127.0.0.1"}},
      {R"({"count":0})", std::pair<int64_t, std::string>{0, ""}},
      {R"({"count":-1})", std::nullopt},
      {R"({"count":1.5})", std::nullopt},
      {R"({"count":1,"joined":7})", std::nullopt},
  };
  for (const auto& [payload, expected] : reports) {
    const auto report = decodeViewersReport(payload);
    EXPECT_EQ(report ? std::optional(std::pair(report->count, report->joined)) : std::nullopt, expected) << payload;
  }
}

}  // namespace
}  // namespace qova
