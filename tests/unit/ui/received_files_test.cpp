#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "support/controller_fixture.h"
#include "ui/file_action_button.h"
#include "ui/received_file_list.h"

namespace qova::test {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kFolder = "/home/tester/Downloads/QOVA-Lumaro";

DirectoryEntry file(const std::string& name, int64_t seconds, int64_t size = 1500) {
  DirectoryEntry::Values values;
  values.isRegularFile = true;
  values.fileSize = size;
  values.contentModificationDate = FileTime(std::chrono::seconds(seconds));
  values.isHidden = false;
  return {std::string(kFolder) + "/" + name, name, values};
}

class ReceivedFilesTest : public ControllerTest {
 protected:
  void SetUp() override {
    if (const char* zone = std::getenv("TZ")) savedZone = zone;
    setenv("TZ", "UTC0", 1);
    tzset();
  }
  void TearDown() override {
    if (savedZone) setenv("TZ", savedZone->c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }
  std::optional<std::string> savedZone;
  std::vector<DirectoryEntry>& folder() { return fakes.workspace->folders[kFolder]; }
  FakeStackView& stack() { return static_cast<FakeStackView&>(*delegate->fileListStack); }
  // The texts of a row's two labels and the titles of its two buttons.
  std::vector<std::string> rowTexts(size_t index) {
    auto* row = dynamic_cast<FakeNode*>(stack().arranged.at(index).get());
    std::vector<std::string> texts;
    for (const auto& child : row->subviews) {
      if (auto label = std::dynamic_pointer_cast<FakeLabel>(child)) texts.push_back(label->text());
      if (auto button = std::dynamic_pointer_cast<FakeButton>(child)) texts.push_back(button->title());
    }
    return texts;
  }
  std::shared_ptr<FakeButton> rowButton(size_t index, const std::string& title) {
    auto* row = dynamic_cast<FakeNode*>(stack().arranged.at(index).get());
    for (const auto& child : row->subviews) {
      auto button = std::dynamic_pointer_cast<FakeButton>(child);
      if (button && button->title() == title) return button;
    }
    return nullptr;
  }
};

TEST_F(ReceivedFilesTest, AMissingFolderIsCreatedAndShowsTheEmptyState) {
  fakes.workspace->home = "/home/tester";
  delegate->refreshReceivedFiles();
  EXPECT_EQ(fakes.workspace->createdDirectories, (std::vector<std::string>{kFolder}));
  EXPECT_EQ(delegate->filePathLabel->text(), kFolder);
  EXPECT_EQ(stack().arrangedSubviewCount(), 0);
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());
  EXPECT_EQ(stack().frame(), (Rect{0, 0, 392, 138}));
}

TEST_F(ReceivedFilesTest, AFolderThatCannotBeMadeOrListedIsAnEmptyList) {
  fakes.workspace->createFails = true;
  delegate->refreshReceivedFiles();
  EXPECT_EQ(fakes.workspace->listings, 1);
  EXPECT_EQ(delegate->filePathLabel->text(), kFolder);
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());
  EXPECT_EQ(stack().arrangedSubviewCount(), 0);
}

TEST_F(ReceivedFilesTest, RowsShowNameSizeAndDateNewestFirst) {
  folder() = {file("older.pdf", 1704164640, 532'400), file("newest.zip", 1704168000, 2'254'000'000)};
  delegate->refreshReceivedFiles();
  ASSERT_EQ(stack().arrangedSubviewCount(), 2);
  EXPECT_TRUE(delegate->fileEmptyLabel->isHidden());
  EXPECT_EQ(stack().frame(), (Rect{0, 0, 392, 138}));
  EXPECT_EQ(rowTexts(0), (std::vector<std::string>{"newest.zip", "2.25 GB  2024-01-02 04:00", "打开", "定位"}));
  EXPECT_EQ(rowTexts(1), (std::vector<std::string>{"older.pdf", "532 KB  2024-01-02 03:04", "打开", "定位"}));
}

TEST_F(ReceivedFilesTest, RowLayoutIsFixed) {
  folder() = {file("a", 1)};
  delegate->refreshReceivedFiles();
  auto row = stack().arranged.at(0);
  EXPECT_EQ(row->frame(), (Rect{0, 0, 374, 52}));
  EXPECT_EQ(row->backgroundColor(), Color::calibratedRGB(0.965, 0.976, 0.988));
  EXPECT_EQ(row->cornerRadius(), 6);
  const auto& children = dynamic_cast<FakeNode&>(*row).subviews;
  ASSERT_EQ(children.size(), 4u);
  auto name = std::dynamic_pointer_cast<FakeLabel>(children[0]);
  auto detail = std::dynamic_pointer_cast<FakeLabel>(children[1]);
  ASSERT_TRUE(name && detail);
  EXPECT_EQ(name->frame(), (Rect{10, 27, 220, 18}));
  EXPECT_EQ(name->font(), Font::boldSystem(12));
  EXPECT_EQ(name->textColor(), Color::primaryLabel());
  EXPECT_EQ(name->truncation(), Truncation::middle);
  EXPECT_EQ(detail->frame(), (Rect{10, 8, 220, 16}));
  EXPECT_EQ(detail->font(), Font::system(11));
  EXPECT_EQ(detail->textColor(), Color::secondaryLabel());
  EXPECT_EQ(detail->truncation(), Truncation::tail);
  EXPECT_EQ(children[2]->frame(), (Rect{236, 12, 54, 28}));
  EXPECT_EQ(children[3]->frame(), (Rect{300, 12, 54, 28}));
}

TEST_F(ReceivedFilesTest, ThreeRowsGrowTheListAndFiftyOneShowTheFiftyNewest) {
  folder() = {file("a", 1), file("b", 2), file("c", 3)};
  delegate->refreshReceivedFiles();
  EXPECT_EQ(stack().frame().height, 186);

  folder().clear();
  for (int i = 0; i < 51; ++i) folder().push_back(file("f" + std::to_string(i), 1000 + i));
  delegate->refreshReceivedFiles();
  ASSERT_EQ(stack().arrangedSubviewCount(), 50);
  EXPECT_EQ(stack().frame(), (Rect{0, 0, 392, 2912}));
  EXPECT_EQ(rowTexts(0)[0], "f50");
  EXPECT_EQ(rowTexts(49)[0], "f1");  // f0, the oldest, is left out
  EXPECT_EQ(stack().removedTotal, 3);  // every earlier row was taken out first
}

TEST_F(ReceivedFilesTest, RowButtonsOpenAndRevealTheirFile) {
  folder() = {file("report.pdf", 5)};
  delegate->refreshReceivedFiles();
  auto open = rowButton(0, "打开");
  auto locate = rowButton(0, "定位");
  folder().clear();
  delegate->refreshReceivedFiles();  // the row is gone from the list; its buttons keep their file
  open->performClick();
  locate->performClick();
  const std::string path = std::string(kFolder) + "/report.pdf";
  EXPECT_EQ(fakes.workspace->openedFiles, (std::vector<std::string>{path}));
  EXPECT_EQ(fakes.workspace->revealedFiles, (std::vector<std::string>{path}));
}

TEST_F(ReceivedFilesTest, OnlyASenderThatCarriesAFileHasAnEffect) {
  FileActionButton empty;
  delegate->openReceivedFile(&empty);
  delegate->locateReceivedFile(&empty);
  delegate->openReceivedFile(nullptr);
  delegate->locateReceivedFile(nullptr);
  EXPECT_TRUE(fakes.workspace->openedFiles.empty());
  EXPECT_TRUE(fakes.workspace->revealedFiles.empty());
}

TEST_F(ReceivedFilesTest, OpeningTheFolderCreatesItFirstAndDoesNotRefresh) {
  delegate->openReceivedFilesFolder();
  EXPECT_EQ(fakes.workspace->createdDirectories, (std::vector<std::string>{kFolder}));
  EXPECT_EQ(fakes.workspace->openedFiles, (std::vector<std::string>{kFolder}));
  EXPECT_EQ(fakes.workspace->listings, 0);
}

TEST_F(ReceivedFilesTest, RefreshButtonRebuildsEveryTimeAndSaysSo) {
  folder() = {file("a", 1)};
  delegate->refreshReceivedFilesClicked();
  delegate->refreshReceivedFilesClicked();
  EXPECT_EQ(fakes.workspace->listings, 2);
  EXPECT_EQ(stack().arrangedSubviewCount(), 1);
  EXPECT_EQ(stack().removedTotal, 1);
  EXPECT_EQ(status().history, (std::vector<std::string>{"文件列表已刷新", "文件列表已刷新"}));
}

TEST_F(ReceivedFilesTest, AMarkerLineRefreshesOnTheMainThreadAndSaysAFileArrived) {
  launchApp();
  folder() = {file("new.txt", 9)};
  const int listings = fakes.workspace->listings;
  delegate->handleAgentOutput("__QOVA_FILE_RECEIVED__\n");
  EXPECT_EQ(fakes.workspace->listings, listings);  // nothing happens on the reader's thread
  main().runPending();
  EXPECT_EQ(fakes.workspace->listings, listings + 1);
  EXPECT_EQ(stack().arrangedSubviewCount(), 1);
  EXPECT_EQ(status().history, (std::vector<std::string>{"已收到文件"}));
  delegate->handleAgentOutput("__QOVA_FILE_RECEIVED__{\"name\":\"x\"}\n");
  main().runPending();
  EXPECT_EQ(fakes.workspace->listings, listings + 2);
  EXPECT_EQ(status().history, (std::vector<std::string>{"已收到文件", "已收到文件"}));
}

TEST_F(ReceivedFilesTest, AFloodOfMarkersWaitingForTheMainThreadCostsOneRefresh) {
  launchApp();
  const int listings = fakes.workspace->listings;
  std::string flood;
  for (int i = 0; i < 10'000; ++i) flood += "__QOVA_FILE_RECEIVED__\n";
  delegate->handleAgentOutput(flood);
  folder() = {file("late.txt", 9)};  // written after the markers, before the main thread runs
  main().runPending();
  EXPECT_EQ(fakes.workspace->listings, listings + 1);
  EXPECT_EQ(stack().arrangedSubviewCount(), 1);
  EXPECT_EQ(status().history, (std::vector<std::string>{"已收到文件"}));
}

TEST_F(ReceivedFilesTest, AMarkerDuringARefreshQueuesTheNextOne) {
  launchApp();
  const int listings = fakes.workspace->listings;
  bool once = true;
  fakes.workspace->onCreateDirectory = [&] {
    if (once) delegate->handleFileReceivedBridge();  // the reader, while the main thread lists
    once = false;
  };
  delegate->handleFileReceivedBridge();
  main().runPending();
  EXPECT_EQ(fakes.workspace->listings, listings + 2);
}

TEST_F(ReceivedFilesTest, TheTimerRefreshesEveryFiveSecondsWithoutAStatus) {
  launchApp();
  const int listings = fakes.workspace->listings;
  EXPECT_EQ(listings, 1);  // the refresh the files tab posted
  main().advance(4999ms);
  EXPECT_EQ(fakes.workspace->listings, listings);
  main().advance(1ms);
  EXPECT_EQ(fakes.workspace->listings, listings + 1);
  main().advance(10s);
  EXPECT_EQ(fakes.workspace->listings, listings + 3);
  EXPECT_TRUE(status().history.empty());
  delegate->startFileRefreshTimer();  // a restart replaces the timer, it does not add one
  main().advance(5s);
  EXPECT_EQ(fakes.workspace->listings, listings + 4);
}

// The real file system under a home folder of the test's own.
class ReceivedFilesOnDiskTest : public ReceivedFilesTest {
 protected:
  void SetUp() override {
    ReceivedFilesTest::SetUp();
    char pattern[] = "/tmp/qova-files-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    home = pattern;
    fakes.workspace->home = home;
    fakes.workspace->realFiles = true;
    received = home + "/Downloads/QOVA-Lumaro";
  }
  void TearDown() override {
    ReceivedFilesTest::TearDown();
    std::error_code error;
    fs::permissions(received, fs::perms::owner_all, fs::perm_options::add, error);
    fs::remove_all(home, error);
  }
  void write(const std::string& name, size_t bytes, int64_t mtime) {
    const std::string path = received + "/" + name;
    std::ofstream(path) << std::string(bytes, 'x');
    const timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  std::string home;
  std::string received;
};

TEST_F(ReceivedFilesOnDiskTest, ARefreshFindsTheFolderItCreatedAndLaterItsFiles) {
  delegate->refreshReceivedFiles();
  EXPECT_TRUE(fs::is_directory(received));
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());

  write("first.txt", 2500, 1704164640);
  write("second.txt", 10, 1704164700);
  write(".partial", 10, 1704164800);
  fs::create_directory(received + "/sub");
  fs::create_symlink(received + "/first.txt", received + "/link-to-file");
  fs::create_symlink(received + "/sub", received + "/link-to-folder");
  fs::create_symlink(received + "/nowhere", received + "/dangling");
  fs::create_symlink(received + "/loop", received + "/loop");
  ASSERT_EQ(mkfifo((received + "/pipe").c_str(), 0600), 0);
  write(std::string("bad-\xff\xfe-name\nline\u200f.txt"), 1, 1704164000);

  delegate->refreshReceivedFiles();
  ASSERT_EQ(stack().arrangedSubviewCount(), 3);
  EXPECT_EQ(rowTexts(0)[0], "second.txt");
  EXPECT_EQ(rowTexts(0)[1], "1 KB  2024-01-02 03:05");
  EXPECT_EQ(rowTexts(1)[0], "first.txt");
  EXPECT_EQ(rowTexts(1)[1], "3 KB  2024-01-02 03:04");
  EXPECT_EQ(rowTexts(2)[0], std::string("bad-\xff\xfe-name\nline\u200f.txt"));
}

TEST_F(ReceivedFilesOnDiskTest, AFolderThatIsAPlainFileIsAnEmptyList) {
  fs::create_directories(home + "/Downloads");
  std::ofstream(received) << "not a folder";
  delegate->refreshReceivedFiles();
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());
  EXPECT_EQ(stack().arrangedSubviewCount(), 0);
  EXPECT_TRUE(fs::is_regular_file(received));
}

TEST_F(ReceivedFilesOnDiskTest, AnUnreadableFolderIsAnEmptyList) {
  fs::create_directories(received);
  write("a.txt", 1, 1);
  fs::permissions(received, fs::perms::none);
  if (access(received.c_str(), R_OK) == 0) GTEST_SKIP() << "the user can read any folder (root)";
  delegate->refreshReceivedFiles();
  EXPECT_FALSE(delegate->fileEmptyLabel->isHidden());
  EXPECT_EQ(stack().arrangedSubviewCount(), 0);
}

TEST_F(ReceivedFilesOnDiskTest, AHundredThousandEntriesStillShowFiftyRows) {
  fs::create_directories(received);
  for (int i = 0; i < 100'000; ++i) {
    const std::string path = received + "/" + std::to_string(i);
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ::close(fd);
  }
  delegate->refreshReceivedFiles();
  EXPECT_EQ(stack().arrangedSubviewCount(), 50);
  EXPECT_EQ(stack().frame().height, 2912);
}

}  // namespace
}  // namespace qova::test
