#include "agent/device_identity.h"
#include "agent/agent_contract.h"
#include "app/app_delegate.h"
#include "base/thread_check.h"
#include "base/utf8.h"
#include "platform/controls.h"
#include "platform/process.h"

namespace qova {

namespace {
// The agent answers "--show-id" at once; one that hangs must not freeze the launch.
constexpr Duration kIdentityTimeout{5000};
}  // namespace

std::string AppDelegate::runAgent(const std::vector<std::string>& arguments) {
  auto output = services().processes->runAndCapture({agentURL(), arguments}, kIdentityTimeout);
  if (!output || !isValidUtf8(*output)) return {};
  return std::move(*output);
}

void AppDelegate::loadIdentity() {
  QOVA_ASSERT_ON(mainQueue());
  const DeviceIdentity identity = parseDeviceIdentity(runAgent({std::string(kAgentShowIdArgument)}));
  if (identity.deviceId) idValue->setText(*identity.deviceId);
  if (identity.accessCode) codeValue->setText(*identity.accessCode);
  if (identity.server) serverValue->setText(*identity.server);
}

}  // namespace qova
