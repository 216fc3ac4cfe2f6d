#include "ui/received_file_list.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <string_view>

namespace qova {

std::string receivedFilesFolder(const std::string& homeDirectory) {
  return homeDirectory + "/Downloads/QOVA-Lumaro";
}

ReceivedFileSelection receivedFileEntries(const std::vector<DirectoryEntry>& listing, size_t limit) {
  struct Candidate {
    FileTime modified;
    size_t index;  // in the listing; breaks ties so the order is the stable one
  };
  std::vector<Candidate> candidates;
  candidates.reserve(listing.size());
  for (size_t i = 0; i < listing.size(); ++i) {
    if (!listing[i].values) continue;
    const DirectoryEntry::Values& values = *listing[i].values;
    if (!values.isRegularFile.value_or(false) || values.isHidden.value_or(false)) continue;
    candidates.push_back({values.contentModificationDate.value_or(kDistantPast), i});
  }
  const auto newerFirst = [](const Candidate& a, const Candidate& b) {
    return a.modified != b.modified ? a.modified > b.modified : a.index < b.index;
  };
  const size_t shown = std::min(limit, candidates.size());
  std::partial_sort(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(shown), candidates.end(),
                    newerFirst);

  ReceivedFileSelection selection;
  selection.total = candidates.size();
  selection.newest.reserve(shown);
  for (size_t i = 0; i < shown; ++i) {
    const DirectoryEntry& item = listing[candidates[i].index];
    selection.newest.push_back({item.path, item.name, item.values->fileSize.value_or(0), candidates[i].modified});
  }
  return selection;
}

double fileListHeight(int rows) { return std::max(12.0 + 58.0 * rows, kFileListMinHeight); }

namespace {

// Fixed decimals with trailing zeros (and a bare point) dropped.
std::string trimmed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string result = text;
  if (result.find('.') != std::string::npos) {
    while (result.back() == '0') result.pop_back();
    if (result.back() == '.') result.pop_back();
  }
  return result;
}

}  // namespace

std::string formatFileSize(int64_t bytes) {
  if (bytes <= 0) return "0 KB";
  if (bytes < 1000) return "1 KB";
  // Each unit is chosen after rounding, so 999,999 bytes read "1 MB" rather than "1000 KB".
  const double kilobytes = std::round(static_cast<double>(bytes) / 1e3);
  if (kilobytes < 1000) return trimmed(kilobytes, 0) + " KB";
  const double megabytes = std::round(static_cast<double>(bytes) / 1e5) / 10;
  if (megabytes < 1000) return trimmed(megabytes, 1) + " MB";
  return trimmed(std::round(static_cast<double>(bytes) / 1e7) / 100, 2) + " GB";
}

std::string formatFileDate(const LocalDateTime& local) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d", local.year, local.month, local.day, local.hour,
                local.minute);
  return text;
}

LocalDateTime toLocalDateTime(FileTime time) {
  const auto seconds = std::chrono::floor<std::chrono::seconds>(time);
  const std::time_t clock = static_cast<std::time_t>(seconds.time_since_epoch().count());
  // The standard conversion keeps the logic free of the operating system; it runs on the main
  // thread only, so its shared result is not raced.
  if (const std::tm* local = std::localtime(&clock)) {
    return {local->tm_year + 1900, local->tm_mon + 1, local->tm_mday, local->tm_hour, local->tm_min};
  }
  // Out of the C library's range: coordinated universal time stands in.
  const auto day = std::chrono::floor<std::chrono::days>(seconds);
  const std::chrono::year_month_day date{day};
  const std::chrono::hh_mm_ss clockTime{seconds - day};
  return {static_cast<int>(date.year()), static_cast<int>(static_cast<unsigned>(date.month())),
          static_cast<int>(static_cast<unsigned>(date.day())), static_cast<int>(clockTime.hours().count()),
          static_cast<int>(clockTime.minutes().count())};
}

}  // namespace qova
