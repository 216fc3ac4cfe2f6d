#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/workspace.h"

namespace qova {

// One listed file of the received files folder.
struct ReceivedFileEntry {
  std::string url;   // the file's path as the listing gave it
  std::string name;  // its last path component
  int64_t size = 0;  // bytes; 0 when unknown
  FileTime modified;  // the distant past when unknown
};

inline constexpr size_t kMaxReceivedFileRows = 50;
inline constexpr double kFileListWidth = 392;
inline constexpr double kFileListMinHeight = 138;  // the scroll view's height

// The platform's distant past: 0001-01-01 00:00:00 UTC.
inline constexpr FileTime kDistantPast{std::chrono::seconds(-62135596800LL)};

// <home>/Downloads/QOVA-Lumaro, without a trailing slash.
std::string receivedFilesFolder(const std::string& homeDirectory);

// The regular, non-hidden entries of a listing whose values could be read, newest first; entries
// with equal times keep their listing order. Only the first `limit` of that order are built, so a
// crowded folder costs a selection, not a full sort.
struct ReceivedFileSelection {
  std::vector<ReceivedFileEntry> newest;  // at most `limit`
  size_t total = 0;                       // every listable entry
};
ReceivedFileSelection receivedFileEntries(const std::vector<DirectoryEntry>& listing, size_t limit);

// Height of the list's document: room for `rows` rows, never less than the scroll view.
double fileListHeight(int rows);

// A size in decimal kilobytes, megabytes or gigabytes (1 KB = 1000 bytes), never in plain bytes:
// "0 KB", "1 KB" for any non-empty file below that, "532 KB", "1.5 MB", "2.25 GB".
std::string formatFileSize(int64_t bytes);

// "yyyy-MM-dd HH:mm" of a broken-down local time.
struct LocalDateTime {
  int year = 1;
  int month = 1;
  int day = 1;
  int hour = 0;
  int minute = 0;
};
std::string formatFileDate(const LocalDateTime& local);

// The moment in the process's local time zone.
LocalDateTime toLocalDateTime(FileTime time);

}  // namespace qova
