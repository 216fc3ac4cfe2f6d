#pragma once

#include "platform/service_manager.h"

namespace qova {

// The per-user systemd instance: a service of label L is the user unit "L.service".
class SystemdServiceManager : public ServiceManager {
 public:
  std::vector<CommandLine> removalCommands(std::string_view label, std::string_view homePath,
                                           unsigned userId) const override;
};

}  // namespace qova
