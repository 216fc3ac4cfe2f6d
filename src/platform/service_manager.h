#pragma once

#include <string_view>
#include <vector>

#include "platform/process.h"

namespace qova {

// The platform's per-user service manager, as far as removing an old background service goes.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  // The commands, in order, that unload the per-user service `label` (whose definition, if any,
  // sits under `homePath`) for user `userId`. Each is run and waited for; outcomes are ignored.
  virtual std::vector<CommandLine> removalCommands(std::string_view label, std::string_view homePath,
                                                   unsigned userId) const = 0;
};

}  // namespace qova
