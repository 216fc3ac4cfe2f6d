#pragma once

#include <string>

namespace qova {

// Where the application and its user live. Any thread.
class Workspace {
 public:
  virtual ~Workspace() = default;
  // The current user's home folder, without a trailing slash.
  virtual std::string homeDirectory() const = 0;
  // The application bundle's folder (the one holding "Contents").
  virtual std::string bundleDirectory() const = 0;
  // The real user id of the process.
  virtual unsigned realUserId() const = 0;
};

}  // namespace qova
