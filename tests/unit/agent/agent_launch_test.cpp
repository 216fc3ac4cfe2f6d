#include "agent/agent_launch.h"

#include <gtest/gtest.h>

#include "permissions/permission_message.h"

namespace qova {
namespace {

TEST(AgentLaunch, AgentLivesInTheBundleResources) {
  EXPECT_EQ(agentPathInBundle("/Apps/QOVA Lumaro Agent.app"),
            "/Apps/QOVA Lumaro Agent.app/Contents/Resources/agent-bin/qova-agent-helper");
}

TEST(AgentLaunch, EnvironmentOverridesInheritedValuesInPlaceAndAppendsTheRest) {
  const auto environment = agentEnvironment(
      {"PATH=/bin", "QOVA_MAC_INPUT_TRUSTED=yes", "QOVA_MAC_INPUT_TRUSTED_X=keep", "QOVA_MAC_SCREEN_TRUSTED=1"},
      /*inputTrusted=*/false, /*screenTrusted=*/false);
  EXPECT_EQ(environment, (std::vector<std::string>{"PATH=/bin", "QOVA_MAC_INPUT_TRUSTED=0",
                                                   "QOVA_MAC_INPUT_TRUSTED_X=keep", "QOVA_MAC_SCREEN_TRUSTED=0",
                                                   "QOVA_MAC_INPUT_BRIDGE=1", "QOVA_MAC_CAPTURE_BRIDGE=1"}));
  const auto trusted = agentEnvironment({}, true, true);
  EXPECT_EQ(trusted, (std::vector<std::string>{"QOVA_MAC_INPUT_BRIDGE=1", "QOVA_MAC_INPUT_TRUSTED=1",
                                               "QOVA_MAC_CAPTURE_BRIDGE=1", "QOVA_MAC_SCREEN_TRUSTED=1"}));
}

TEST(AgentLaunch, LegacyPatternsKeepSpacesInOneArgumentAndNeverMatchOurAgent) {
  const auto patterns = legacyProcessPatterns("/home/a user");
  ASSERT_EQ(patterns.size(), 7u);
  EXPECT_EQ(patterns[0], "/home/a user/Applications/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent --nogui");
  EXPECT_EQ(patterns[1], "/home/a user/Applications/QOVA-Lumaro-Agent/run-macos.sh");
  EXPECT_EQ(patterns[6], "QOVA Lumaro Helper.app/Contents/MacOS/QOVA Lumaro Helper");
  const std::string ours = agentPathInBundle("/home/a user/QOVA Lumaro Agent.app") + " --nogui";
  for (const auto& pattern : patterns) EXPECT_EQ(ours.find(pattern), std::string::npos) << pattern;
}

TEST(PermissionMessage, CompactObjectWithTwoBooleansAndALineFeed) {
  for (bool screen : {false, true}) {
    for (bool input : {false, true}) {
      const std::string line = permissionMessage(screen, input);
      ASSERT_TRUE(line.starts_with("__QOVA_PERMISSION__{"));
      ASSERT_TRUE(line.ends_with("}\n"));
      EXPECT_EQ(line.find(' '), std::string::npos);
      EXPECT_EQ(line.find('\n'), line.size() - 1);
      EXPECT_NE(line.find(std::string("\"screen\":") + (screen ? "true" : "false")), std::string::npos);
      EXPECT_NE(line.find(std::string("\"input\":") + (input ? "true" : "false")), std::string::npos);
    }
  }
}

}  // namespace
}  // namespace qova
