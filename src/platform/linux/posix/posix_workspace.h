#pragma once

#include "platform/workspace.h"

namespace qova {

// Home from $HOME (else the password database); the bundle from the executable's own path.
class PosixWorkspace : public Workspace {
 public:
  std::string homeDirectory() const override;
  std::string bundleDirectory() const override;
  unsigned realUserId() const override;
};

}  // namespace qova
