#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qova::agent {

// One incoming file, streamed to a hidden temporary file in the received files folder and given its
// real name only when complete, so a half-written file is never listed. The temporary file is
// removed if the upload is abandoned. Not thread-safe.
class UploadSink {
 public:
  // nullptr when the folder cannot be created or the temporary file cannot be opened.
  static std::unique_ptr<UploadSink> open(const std::string& folder, std::string safeName, std::uint64_t maxBytes);
  ~UploadSink();
  UploadSink(const UploadSink&) = delete;
  UploadSink& operator=(const UploadSink&) = delete;

  // False when writing fails or the file would grow past the cap; the upload is then abandoned.
  bool write(std::string_view bytes);
  std::uint64_t size() const { return written_; }
  // Gives the file its name, or the first free numbered variant of it; never replaces a file.
  // Returns the final path, or nullopt (and removes the temporary file) on failure.
  std::optional<std::string> commit();

 private:
  UploadSink(std::string folder, std::string safeName, std::string tempPath, int fd, std::uint64_t maxBytes);
  void discard();

  std::string folder_;
  std::string safeName_;
  std::string tempPath_;
  int fd_ = -1;
  std::uint64_t maxBytes_;
  std::uint64_t written_ = 0;
  bool failed_ = false;
};

// Creates `path` and its missing parents; false on failure.
bool makeFolders(const std::string& path);

// Removes the temporary files of uploads older than `maxAge` from `folder`: left by an agent that
// was ended mid-upload, they would never be completed nor shown.
void removeStaleUploads(const std::string& folder, std::chrono::seconds maxAge);

}  // namespace qova::agent
