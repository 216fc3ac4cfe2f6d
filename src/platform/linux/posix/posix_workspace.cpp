#include "platform/linux/posix/posix_workspace.h"

#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>

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

bool PosixWorkspace::createDirectory(const std::string& path) {
  std::error_code error;
  std::filesystem::create_directories(path, error);
  return std::filesystem::is_directory(path, error);
}

namespace {

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};

FileTime toFileTime(const timespec& time) {
  return FileTime(std::chrono::seconds(time.tv_sec) +
                  std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::nanoseconds(time.tv_nsec)));
}

}  // namespace

std::optional<std::vector<DirectoryEntry>> PosixWorkspace::contentsOfDirectory(const std::string& path) const {
  // O_NOFOLLOW is left out on purpose: the folder itself may be reached through a link, its
  // entries are never followed. O_NONBLOCK keeps a FIFO at the path from blocking the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  std::unique_ptr<DIR, DirCloser> dir(fdopendir(fd));
  if (!dir) {
    ::close(fd);
    return std::nullopt;
  }
  std::vector<DirectoryEntry> entries;
  const std::string prefix = path.empty() || path.back() == '/' ? path : path + "/";
  while (const dirent* item = readdir(dir.get())) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    DirectoryEntry entry{prefix + name, name, std::nullopt};
    struct stat info {};
    if (fstatat(dirfd(dir.get()), item->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0) {
      DirectoryEntry::Values values;
      values.isRegularFile = S_ISREG(info.st_mode);
      values.fileSize = static_cast<int64_t>(info.st_size);
      values.contentModificationDate = toFileTime(info.st_mtim);
      values.isHidden = name.front() == '.';
      entry.values = values;
    }
    entries.push_back(std::move(entry));
  }
  return entries;
}

}  // namespace qova
