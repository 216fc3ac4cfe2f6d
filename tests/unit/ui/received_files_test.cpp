// The received files list: which files, in which order, how they read, and when the list refreshes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <filesystem>
#include <fstream>

#include "platform/linux/posix/posix_workspace.h"
#include "support/controller_fixture.h"
#include "ui/received_file_list.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector<std::string>;
constexpr const char* kFolder = "/home/tester/Downloads/QOVA-Lumaro";

DirectoryEntry file(const std::string& name, std::optional<int64_t> seconds, int64_t size = 1500) {
  DirectoryEntry::Values values;
  values.isRegularFile = true;
  values.fileSize = size;
  if (seconds) values.contentModificationDate = FileTime(std::chrono::seconds(*seconds));
  values.isHidden = false;
  return {std::string(kFolder) + "/" + name, name, values};
}

Strings names(const std::vector<ReceivedFileEntry>& entries) {
  Strings result;
  for (const auto& entry : entries) result.push_back(entry.name);
  return result;
}

// Runs with the process in the given time zone.
class InZone {
 public:
  explicit InZone(const char* zone) {
    if (const char* previous = std::getenv("TZ")) saved_ = previous;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~InZone() {
    saved_ ? setenv("TZ", saved_->c_str(), 1) : unsetenv("TZ");
    tzset();
  }

 private:
  std::optional<std::string> saved_;
};

TEST(ReceivedFileList, OnlyReadableRegularVisibleFilesNewestFirstAndTiesInListingOrder) {
  auto folder = file("folder", 9);
  folder.values->isRegularFile = false;
  auto unknownKind = file("unknown-kind", 9);
  unknownKind.values->isRegularFile.reset();
  auto hidden = file(".hidden", 9);
  hidden.values->isHidden = true;
  auto unknownHidden = file("unknown-hidden", 1);
  unknownHidden.values->isHidden.reset();
  const std::vector<DirectoryEntry> listing = {
      file("b1", 100), folder, file("undated", std::nullopt), unknownKind, file("new", 200), hidden,
      file("b2", 100), unknownHidden, {"/f/gone", "gone", std::nullopt}, file("old", 50)};
  const auto all = receivedFileEntries(listing, SIZE_MAX);
  EXPECT_EQ(all.total, 6u);
  EXPECT_EQ(names(all.newest), (Strings{"new", "b1", "b2", "old", "unknown-hidden", "undated"}));
  // A limit keeps the head of that order and still counts everything.
  const auto head = receivedFileEntries(listing, 2);
  EXPECT_EQ(names(head.newest), (Strings{"new", "b1"}));
  EXPECT_EQ(head.total, 6u);
}

TEST(ReceivedFileList, SizesAreDecimalUnitsRoundedBeforeTheUnitIsChosen) {
  const std::pair<int64_t, const char*> sizes[] = {
      {-5, "0 KB"},       {0, "0 KB"},          {1, "1 KB"},           {999, "1 KB"},
      {532'400, "532 KB"}, {999'499, "999 KB"}, {999'500, "1 MB"},     {1'500'000, "1.5 MB"},
      {2'000'000, "2 MB"}, {999'960'000, "1 GB"}, {2'254'000'000, "2.25 GB"}, {5'000'000'000'000, "5000 GB"}};
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(formatFileSize(bytes), text) << bytes;
}

TEST(ReceivedFileList, DatesAreLocalTime) {
  InZone zone("CST-8");  // eight hours east of UTC, no daylight saving
  const auto at = [](int64_t s) { return formatFileDate(toLocalDateTime(FileTime(std::chrono::seconds(s)))); };
  EXPECT_EQ(at(1704164699), "2024-01-02 11:04");
  EXPECT_EQ(at(-1), "1970-01-01 07:59");
  EXPECT_EQ(toLocalDateTime(kDistantPast).year, 1);
}

TEST(ReceivedFileList, TheRealFileSystemListsOnlyRegularFilesAndKeepsEveryByteOfTheirNames) {
  const auto folder = std::filesystem::temp_directory_path() / ("qova-files-" + std::to_string(getpid()));
  std::filesystem::create_directories(folder / "sub");
  const std::string odd = "bad-\xff\xfe-name\nline\u200f.txt";
  for (const char* name : {"a.txt", ".hidden"}) std::ofstream(folder / name) << "x";
  std::ofstream(folder / odd) << "xyz";
  std::filesystem::create_symlink(folder / "a.txt", folder / "link-to-file");
  std::filesystem::create_symlink(folder / "nowhere", folder / "dangling");
  std::filesystem::create_symlink(folder / "loop", folder / "loop");
  ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);

  const auto listing = PosixWorkspace().contentsOfDirectory(folder.string());
  std::filesystem::remove_all(folder);
  ASSERT_TRUE(listing);
  auto shown = names(receivedFileEntries(*listing, SIZE_MAX).newest);
  std::sort(shown.begin(), shown.end());
  EXPECT_EQ(shown, (Strings{"a.txt", odd}));
  EXPECT_FALSE(PosixWorkspace().contentsOfDirectory(folder.string()));
}

class ReceivedFilesTest : public ControllerTest {
 protected:
  std::vector<DirectoryEntry>& folder() { return fakes.workspace->folders[kFolder]; }
  FakeStackView& stack() { return static_cast<FakeStackView&>(*delegate->fileListStack); }
  // The row's children of one kind: its two labels, then its buttons, which act on the row's file.
  template <class T>
  std::vector<std::shared_ptr<T>> rowParts(size_t index) {
    std::vector<std::shared_ptr<T>> parts;
    for (const auto& child : dynamic_cast<FakeNode&>(*stack().arranged.at(index)).subviews) {
      if (auto part = std::dynamic_pointer_cast<T>(child)) parts.push_back(part);
    }
    return parts;
  }
  Strings row(size_t index) {
    Strings texts;
    for (const auto& label : rowParts<FakeLabel>(index)) texts.push_back(label->text());
    return texts;
  }
  InZone utc{"UTC0"};
};

TEST_F(ReceivedFilesTest, ARefreshShowsTheFiftyNewestFilesAsRowsOrTheEmptyState) {
  delegate->refreshReceivedFiles();
  EXPECT_EQ(fakes.workspace->createdDirectories, (Strings{kFolder}));
  EXPECT_EQ(delegate->filePathLabel->text(), kFolder);
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());

  folder() = {file("older.pdf", 1704164640, 532'400), file("newest.zip", 1704168000, 2'254'000'000)};
  for (int i = 0; i < 60; ++i) folder().push_back(file("f" + std::to_string(i), i));
  delegate->refreshReceivedFiles();
  EXPECT_TRUE(delegate->fileEmptyLabel->isHidden());
  ASSERT_EQ(stack().arrangedSubviewCount(), 50);
  EXPECT_EQ(row(0), (Strings{"newest.zip", "2.25 GB  2024-01-02 04:00"}));
  EXPECT_EQ(row(1), (Strings{"older.pdf", "532 KB  2024-01-02 03:04"}));
  EXPECT_EQ(row(49)[0], "f12");
  EXPECT_EQ(stack().frame().height, fileListHeight(50));  // room for every row
  delegate->refreshReceivedFiles();
  EXPECT_EQ(stack().arrangedSubviewCount(), 50);  // rebuilt, not added to
}

TEST_F(ReceivedFilesTest, RowButtonsOpenAndRevealTheirOwnFileEvenAfterTheListChanged) {
  folder() = {file("report.pdf", 5)};
  delegate->refreshReceivedFiles();
  EXPECT_TRUE(delegate->fileEmptyLabel->isHidden());
  const auto buttons = rowParts<FakeButton>(0);
  folder().clear();
  delegate->refreshReceivedFiles();
  for (const auto& button : buttons) button->performClick();
  delegate->openReceivedFilesFolder();
  delegate->desktopQueue->drain();
  const std::string path = std::string(kFolder) + "/report.pdf";
  EXPECT_EQ(fakes.workspace->openedFiles, (Strings{path, kFolder}));
  EXPECT_EQ(fakes.workspace->revealedFiles, (Strings{path}));
  // a file manager slow to answer never holds up the window
  for (const auto& thread : fakes.workspace->openingThreads) EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(ReceivedFilesTest, MarkersRefreshOnTheMainThreadOnceHoweverManyWait) {
  launchApp();
  const int listings = fakes.workspace->listings;
  std::string flood;
  for (int i = 0; i < 10'000; ++i) flood += "__QOVA_FILE_RECEIVED__\n";
  delegate->handleAgentOutput(flood);
  EXPECT_EQ(fakes.workspace->listings, listings);  // nothing happens on the reader's thread
  folder() = {file("late.txt", 9)};                // written after the markers, before the main thread runs
  main().runPending();
  EXPECT_EQ(fakes.workspace->listings, listings + 1);
  EXPECT_EQ(stack().arrangedSubviewCount(), 1);
  EXPECT_EQ(status().history, (Strings{"已收到文件"}));

  // A marker that comes while the main thread lists queues the next refresh.
  bool once = true;
  fakes.workspace->onCreateDirectory = [&] {
    if (std::exchange(once, false)) delegate->handleFileReceivedBridge();
  };
  delegate->handleFileReceivedBridge();
  main().runPending();
  EXPECT_EQ(fakes.workspace->listings, listings + 3);
}

}  // namespace
}  // namespace qova::test
