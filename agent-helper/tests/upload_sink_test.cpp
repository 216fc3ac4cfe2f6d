#include "upload_sink.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "temp_folder.h"

namespace qova::agent {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string contentOf(const fs::path& path) {
  std::ifstream in(path);
  return {std::istreambuf_iterator<char>(in), {}};
}

std::optional<std::string> store(const fs::path& folder, const std::string& name, const std::string& content) {
  auto sink = UploadSink::open(folder, name, 100);
  if (!sink || !sink->write(content)) return std::nullopt;
  return sink->commit();
}

TEST(UploadSink, StoresForTheUserAloneUnderAFreeName) {
  TempFolder temp;
  const auto folder = temp.path() / "Downloads" / "received";
  EXPECT_EQ(store(folder, "报告.txt", "first"), (folder / "报告.txt").string());
  EXPECT_EQ(store(folder, "报告.txt", "second"), (folder / "报告 (1).txt").string());
  EXPECT_EQ(contentOf(folder / "报告.txt"), "first");
  EXPECT_EQ(contentOf(folder / "报告 (1).txt"), "second");
  EXPECT_EQ(modeOf(folder / "报告.txt"), 0600u);
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(folder.parent_path()), 0700u);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder), {}), 2);  // no temporary file left

  // A folder the user made keeps the mode the user gave it.
  const auto own = temp.path() / "own";
  fs::create_directory(own);
  fs::permissions(own, fs::perms(0755));
  ASSERT_TRUE(store(own, "a.txt", "x"));
  EXPECT_EQ(modeOf(own), 0755u);
  EXPECT_EQ(modeOf(own / "a.txt"), 0600u);
}

TEST(RemoveStaleUploads, RemovesOnlyOurTemporaryFilesOlderThanTheLimit) {
  TempFolder temp;
  const auto old = fs::file_time_type::clock::now() - 2h;
  const struct {
    const char* name;
    bool aged;
    bool kept;
  } files[] = {
      {".qova-upload-0123456789abcdef.part", true, false},
      {".qova-upload-fedcba9876543210.part", false, true},
      {"notes.part", true, true},
      {".qova-upload-0123456789abcdef.partial", true, true},
      {"report.pdf", true, true},
  };
  for (const auto& file : files) {
    std::ofstream(temp.path() / file.name) << "x";
    if (file.aged) fs::last_write_time(temp.path() / file.name, old);
  }
  removeStaleUploads(temp.path(), 1h);
  for (const auto& file : files) EXPECT_EQ(fs::exists(temp.path() / file.name), file.kept) << file.name;
}

}  // namespace
}  // namespace qova::agent
