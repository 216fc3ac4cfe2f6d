#include "agent/agent_contract.h"
#include "agent/agent_launch.h"
#include "app/app_delegate.h"
#include "platform/process.h"
#include "platform/service_manager.h"
#include "platform/workspace.h"

namespace qova {

namespace {
// pkill and the service manager end at once; the bound only keeps a wedged one from freezing us.
constexpr Duration kCommandTimeout{10000};
constexpr const char* kProcessKiller = "/usr/bin/pkill";
}  // namespace

void AppDelegate::runCommand(const std::string& path, const std::vector<std::string>& arguments) {
  services().processes->runAndWait({path, arguments}, kCommandTimeout);
}

void AppDelegate::stopLegacyAgentProcesses() {
  for (const auto& pattern : legacyProcessPatterns(services().workspace->homeDirectory())) {
    runCommand(kProcessKiller, {"-f", pattern});
  }
}

void AppDelegate::stopLegacyLaunchAgent() {
  const auto& workspace = *services().workspace;
  for (const auto& command : services().serviceManager->removalCommands(kAgentIdentifier, workspace.homeDirectory(),
                                                                        workspace.realUserId())) {
    runCommand(command.path, command.arguments);
  }
  stopLegacyAgentProcesses();
}

}  // namespace qova
