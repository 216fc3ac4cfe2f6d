#include "platform/linux/posix/systemd_service_manager.h"

namespace qova {

std::vector<CommandLine> SystemdServiceManager::removalCommands(std::string_view label, std::string_view /*homePath*/,
                                                                unsigned /*userId*/) const {
  const std::string unit = std::string(label) + ".service";
  // Stop the running unit, then forget its failed state, as the old service manager's unload and
  // remove did. The unit file, like the old definition file, stays where it is.
  return {
      {"/usr/bin/systemctl", {"--user", "stop", unit}},
      {"/usr/bin/systemctl", {"--user", "reset-failed", unit}},
  };
}

}  // namespace qova
