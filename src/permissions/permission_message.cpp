#include "permissions/permission_message.h"

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova {

std::string permissionMessage(bool screen, bool input) {
  const nlohmann::json object = {{"screen", screen}, {"input", input}};
  std::string line(kPermissionMarker);
  line += object.dump();
  line += '\n';
  return line;
}

}  // namespace qova
