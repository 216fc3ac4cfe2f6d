#include "ui/received_file_list.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace qova {
namespace {

using namespace std::chrono_literals;

FileTime at(int64_t seconds) { return FileTime(std::chrono::seconds(seconds)); }

DirectoryEntry file(const std::string& name, std::optional<FileTime> modified, int64_t size = 10) {
  DirectoryEntry::Values values;
  values.isRegularFile = true;
  values.fileSize = size;
  values.contentModificationDate = modified;
  values.isHidden = false;
  return {"/f/" + name, name, values};
}

std::vector<ReceivedFileEntry> all(const std::vector<DirectoryEntry>& listing) {
  return receivedFileEntries(listing, SIZE_MAX).newest;
}

std::vector<std::string> names(const std::vector<ReceivedFileEntry>& entries) {
  std::vector<std::string> result;
  for (const auto& entry : entries) result.push_back(entry.name);
  return result;
}

TEST(ReceivedFileList, TheFolderIsDownloadsQovaLumaroUnderHome) {
  EXPECT_EQ(receivedFilesFolder("/home/a b"), "/home/a b/Downloads/QOVA-Lumaro");
}

TEST(ReceivedFileList, OnlyReadableRegularVisibleEntriesAreKept) {
  std::vector<DirectoryEntry> listing = {file("keep", at(5))};
  auto folder = file("folder", at(9));
  folder.values->isRegularFile = false;
  auto unknownKind = file("unknown-kind", at(9));
  unknownKind.values->isRegularFile.reset();
  auto hidden = file(".hidden", at(9));
  hidden.values->isHidden = true;
  auto unknownHidden = file("unknown-hidden", at(1));
  unknownHidden.values->isHidden.reset();
  DirectoryEntry gone{"/f/gone", "gone", std::nullopt};
  listing.insert(listing.end(), {folder, unknownKind, hidden, unknownHidden, gone});

  const auto selection = receivedFileEntries(listing, SIZE_MAX);
  EXPECT_EQ(selection.total, 2u);
  const auto& entries = selection.newest;
  EXPECT_EQ(names(entries), (std::vector<std::string>{"keep", "unknown-hidden"}));
  EXPECT_EQ(entries[0].url, "/f/keep");
}

TEST(ReceivedFileList, NewestFirstAndEqualTimesKeepTheListingOrder) {
  const std::vector<DirectoryEntry> listing = {file("b1", at(100)), file("old", at(50)), file("new", at(200)),
                                               file("b2", at(100)), file("undated", std::nullopt),
                                               file("b3", at(100)), file("newer-by-1us", at(200) + 1us)};
  const auto entries = all(listing);
  EXPECT_EQ(names(entries),
            (std::vector<std::string>{"newer-by-1us", "new", "b1", "b2", "b3", "old", "undated"}));
  EXPECT_EQ(entries.back().modified, kDistantPast);
}

TEST(ReceivedFileList, MissingSizeCountsAsZero) {
  auto entry = file("x", at(1));
  entry.values->fileSize.reset();
  EXPECT_EQ(all({entry}).at(0).size, 0);
}

TEST(ReceivedFileList, ALimitKeepsTheHeadOfTheStableOrderAndCountsEverything) {
  std::vector<DirectoryEntry> listing;
  for (int i = 0; i < 400; ++i) listing.push_back(file("f" + std::to_string(i), at((i * 7919) % 13)));
  const auto full = all(listing);
  for (size_t limit : {0u, 1u, 50u, 399u, 400u, 401u}) {
    const auto selection = receivedFileEntries(listing, limit);
    EXPECT_EQ(selection.total, 400u);
    ASSERT_EQ(selection.newest.size(), std::min<size_t>(limit, 400));
    for (size_t i = 0; i < selection.newest.size(); ++i) EXPECT_EQ(selection.newest[i].name, full[i].name);
  }
  // The full order is the stable one: equal times in listing order.
  for (size_t i = 1; i < full.size(); ++i) {
    ASSERT_GE(full[i - 1].modified, full[i].modified);
    if (full[i - 1].modified == full[i].modified) {
      EXPECT_LT(std::stoi(full[i - 1].name.substr(1)), std::stoi(full[i].name.substr(1)));
    }
  }
}

TEST(ReceivedFileList, ListHeightHasTheScrollViewAsItsFloor) {
  EXPECT_EQ(fileListHeight(0), 138);
  EXPECT_EQ(fileListHeight(2), 138);
  EXPECT_EQ(fileListHeight(3), 186);
  EXPECT_EQ(fileListHeight(50), 2912);
}

TEST(ReceivedFileList, SizesAreDecimalUnitsAndNeverPlainBytes) {
  EXPECT_EQ(formatFileSize(0), "0 KB");
  EXPECT_EQ(formatFileSize(1), "1 KB");
  EXPECT_EQ(formatFileSize(999), "1 KB");
  EXPECT_EQ(formatFileSize(1000), "1 KB");
  EXPECT_EQ(formatFileSize(1024), "1 KB");
  EXPECT_EQ(formatFileSize(532'400), "532 KB");
  EXPECT_EQ(formatFileSize(999'499), "999 KB");
  EXPECT_EQ(formatFileSize(999'500), "1 MB");
  EXPECT_EQ(formatFileSize(1'500'000), "1.5 MB");
  EXPECT_EQ(formatFileSize(2'000'000), "2 MB");
  EXPECT_EQ(formatFileSize(999'960'000), "1 GB");
  EXPECT_EQ(formatFileSize(2'254'000'000), "2.25 GB");
  EXPECT_EQ(formatFileSize(5'000'000'000'000), "5000 GB");  // never TB
  EXPECT_EQ(formatFileSize(-5), "0 KB");
}

TEST(ReceivedFileList, DatesUseTheFixedPatternInLocalTime) {
  EXPECT_EQ(formatFileDate({2024, 3, 7, 9, 5}), "2024-03-07 09:05");
  EXPECT_EQ(formatFileDate({1, 1, 1, 0, 0}), "0001-01-01 00:00");

  const char* previous = std::getenv("TZ");
  const std::string saved = previous ? previous : "";
  setenv("TZ", "CST-8", 1);  // eight hours east of UTC, no daylight saving
  tzset();
  // 2024-01-02 03:04:59 UTC
  const auto local = toLocalDateTime(at(1704164699) + 999'999us);
  EXPECT_EQ(formatFileDate(local), "2024-01-02 11:04");
  const auto beforeEpoch = toLocalDateTime(at(-1));  // 1969-12-31 23:59:59 UTC
  EXPECT_EQ(formatFileDate(beforeEpoch), "1970-01-01 07:59");
  const auto distant = toLocalDateTime(kDistantPast);
  EXPECT_EQ(distant.year, 1);
  if (previous) setenv("TZ", saved.c_str(), 1);
  else unsetenv("TZ");
  tzset();
}

}  // namespace
}  // namespace qova
