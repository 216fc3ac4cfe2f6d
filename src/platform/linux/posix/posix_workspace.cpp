#include "platform/linux/posix/posix_workspace.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace qova {

std::string PosixWorkspace::homeDirectory() const {
  std::string home;
  if (const char* fromEnvironment = std::getenv("HOME"); fromEnvironment && *fromEnvironment) {
    home = fromEnvironment;
  } else if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir) {
    home = entry->pw_dir;
  }
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  return home;
}

std::string PosixWorkspace::bundleDirectory() const {
  std::error_code error;
  const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return std::filesystem::current_path(error).string();
  const auto folder = executable.parent_path();
  // Inside a bundle the executable sits in <bundle>/Contents/MacOS; elsewhere its folder stands in.
  if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
    return folder.parent_path().parent_path().string();
  }
  return folder.string();
}

unsigned PosixWorkspace::realUserId() const { return static_cast<unsigned>(getuid()); }

}  // namespace qova
