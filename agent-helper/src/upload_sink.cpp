#include "upload_sink.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <string_view>

#include "file_names.h"
#include "random_bytes.h"

namespace qova::agent {

namespace {

constexpr unsigned kMaxNameVariants = 10000;
// A leading dot keeps a file out of the received files list until it is complete.
constexpr std::string_view kTempPrefix = ".qova-upload-";
constexpr std::string_view kTempSuffix = ".part";

// Moves `from` to `to` only if `to` does not exist: atomically, so a file that appears meanwhile is
// not replaced either.
int renameNoReplace(const std::string& from, const std::string& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // File systems without the flag: a hard link fails on an existing name just as well.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  ::unlink(from.c_str());
  return 0;
}

}  // namespace

bool makeFolders(const std::string& path) {
  for (std::size_t pos = 0; pos != std::string::npos;) {
    pos = path.find('/', pos + 1);
    const auto prefix = path.substr(0, pos);
    if (prefix.empty()) continue;
    // Only for us: what viewers send is nobody else's business. A folder that exists keeps its mode.
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
  }
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::unique_ptr<UploadSink> UploadSink::open(const std::string& folder, std::string safeName, std::uint64_t maxBytes) {
  if (!makeFolders(folder)) return nullptr;
  const auto temp = folder + "/" + std::string(kTempPrefix) + common::randomHex(8) + std::string(kTempSuffix);
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::unique_ptr<UploadSink>(new UploadSink(folder, std::move(safeName), temp, fd, maxBytes));
}

UploadSink::UploadSink(std::string folder, std::string safeName, std::string tempPath, int fd, std::uint64_t maxBytes)
    : folder_(std::move(folder)), safeName_(std::move(safeName)), tempPath_(std::move(tempPath)), fd_(fd),
      maxBytes_(maxBytes) {}

UploadSink::~UploadSink() { discard(); }

void UploadSink::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
}

bool UploadSink::write(std::string_view bytes) {
  if (failed_ || fd_ < 0) return false;
  if (bytes.size() > maxBytes_ - written_) {
    failed_ = true;
    discard();
    return false;
  }
  while (!bytes.empty()) {
    const auto n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      discard();
      return false;
    }
    written_ += static_cast<std::uint64_t>(n);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::optional<std::string> UploadSink::commit() {
  if (failed_ || fd_ < 0) return std::nullopt;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!closed) {
    discard();
    return std::nullopt;
  }
  for (unsigned n = 0; n < kMaxNameVariants; ++n) {
    const auto target = folder_ + "/" + numberedFileName(safeName_, n);
    const int error = renameNoReplace(tempPath_, target);
    if (error == 0) {
      tempPath_.clear();
      return target;
    }
    if (error != EEXIST) break;
  }
  discard();
  return std::nullopt;
}

void removeStaleUploads(const std::string& folder, std::chrono::seconds maxAge) {
  const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
  if (!dir) return;
  const auto now = std::chrono::system_clock::now();
  while (const auto* entry = ::readdir(dir.get())) {
    const std::string_view name = entry->d_name;
    if (!name.starts_with(kTempPrefix) || !name.ends_with(kTempSuffix)) continue;
    struct stat info {};
    if (::fstatat(::dirfd(dir.get()), entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const auto modified = std::chrono::system_clock::from_time_t(info.st_mtim.tv_sec);
    if (now - modified > maxAge) ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
  }
}

}  // namespace qova::agent
