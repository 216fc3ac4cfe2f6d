#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qova {

// A moment with microsecond precision over a range that reaches back to the first year of the common
// era (the platform's "distant past").
using FileTime = std::chrono::time_point<std::chrono::system_clock, std::chrono::microseconds>;

// One direct entry of a folder, with the values the file system gave along with the listing.
struct DirectoryEntry {
  struct Values {
    // The entry itself is a regular file: not a folder, not a symbolic link, not a device.
    std::optional<bool> isRegularFile;
    std::optional<int64_t> fileSize;
    std::optional<FileTime> contentModificationDate;
    std::optional<bool> isHidden;
  };
  // The entry's path: the folder's path, a slash and the entry's name, byte for byte.
  std::string path;
  // The entry's name as the file system holds it (bytes, not necessarily valid UTF-8).
  std::string name;
  // None when the entry's values could not be read (for example it went away meanwhile).
  std::optional<Values> values;
};

// Where the application and its user live, and the desktop's file manager and URL handlers.
class Workspace {
 public:
  virtual ~Workspace() = default;
  // Any thread. The current user's home folder, without a trailing slash.
  virtual std::string homeDirectory() const = 0;
  // Any thread. The application bundle's folder (the one holding "Contents").
  virtual std::string bundleDirectory() const = 0;
  // Any thread. The real user id of the process.
  virtual unsigned realUserId() const = 0;

  // Any thread. Creates the folder and every missing folder above it with default permissions.
  // True when the folder exists afterwards.
  virtual bool createDirectory(const std::string& path) = 0;
  // Any thread. The folder's direct entries, hidden ones included, in the order the file system
  // returns them, without following symbolic links; nullopt when the folder cannot be listed.
  virtual std::optional<std::vector<DirectoryEntry>> contentsOfDirectory(const std::string& path) const = 0;

  // The calls below wait for the desktop (a handler to start, a file manager to answer), so they
  // are made off the main thread, one at a time.
  // Asks the desktop to open the URL with the application that handles it. False when the URL is
  // not valid or no handler could be started; what the handler does is not known.
  virtual bool openURL(const std::string& url) = 0;
  // Opens a file or folder, given by its path, with its default application.
  virtual bool openFile(const std::string& path) = 0;
  // Shows the file selected in a file manager window, or its folder where the file manager cannot
  // select.
  virtual bool revealFile(const std::string& path) = 0;
  // Opens the desktop's own privacy settings where one is installed. False when none.
  virtual bool openPrivacySettings() = 0;
};

}  // namespace qova
