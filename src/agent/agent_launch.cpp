#include "agent/agent_launch.h"

#include "agent/agent_contract.h"

namespace qova {

std::string agentPathInBundle(std::string_view bundleDirectory) {
  std::string path(bundleDirectory);
  if (path.empty() || path.back() != '/') path += '/';
  path += "Contents/Resources/agent-bin/";
  path += kAgentExecutableName;
  return path;
}

void setEnvironmentVariable(std::vector<std::string>& environment, std::string_view name, std::string_view value) {
  std::string entry(name);
  entry += '=';
  const size_t prefixLength = entry.size();
  entry += value;
  for (auto& existing : environment) {
    if (existing.compare(0, prefixLength, entry, 0, prefixLength) == 0) {
      existing = entry;
      return;
    }
  }
  environment.push_back(std::move(entry));
}

std::vector<std::string> agentEnvironment(std::vector<std::string> base, bool inputTrusted, bool screenTrusted) {
  setEnvironmentVariable(base, kInputBridgeVariable, "1");
  setEnvironmentVariable(base, kInputTrustedVariable, inputTrusted ? "1" : "0");
  setEnvironmentVariable(base, kCaptureBridgeVariable, "1");
  setEnvironmentVariable(base, kScreenTrustedVariable, screenTrusted ? "1" : "0");
  return base;
}

std::vector<std::string> legacyProcessPatterns(std::string_view homePath) {
  const std::string home(homePath);
  return {
      home + "/Applications/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent --nogui",
      home + "/Applications/QOVA-Lumaro-Agent/run-macos.sh",
      "agent-bin/QOVA Lumaro Agent.app/Contents/MacOS/QOVA Lumaro Agent --nogui",
      "agent-bin/qova-agent-helper/qova-agent-helper --nogui",
      "Contents/MacOS/agent-bin/qova-agent-helper --nogui",
      "QOVA Lumaro Helper.app/Contents/MacOS/qova-agent-helper",
      "QOVA Lumaro Helper.app/Contents/MacOS/QOVA Lumaro Helper",
  };
}

}  // namespace qova
