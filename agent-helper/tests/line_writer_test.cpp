#include "line_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace qova::agent {
namespace {

// A line writer on a pipe that is full, so every line waits, as with an application that does not
// read. lines() lets it drain and returns what it wrote.
class StalledWriter {
 public:
  StalledWriter() {
    if (::pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0) std::abort();
    const std::string filler(4096, 'f');
    for (std::size_t size = filler.size(); size > 0; size /= 2) {
      while (::write(fds_[1], filler.data(), size) > 0) {
      }
    }
    ::fcntl(fds_[1], F_SETFL, 0);
    ::fcntl(fds_[0], F_SETFL, 0);
    writer_ = std::make_unique<LineWriter>(fds_[1]);
    // The writer takes this one and blocks on it: what follows stays queued.
    writer_->emit("first");
  }
  ~StalledWriter() {
    if (fds_[0] >= 0) lines();
  }
  LineWriter& writer() { return *writer_; }

  std::vector<std::string> lines() {
    std::string all;
    std::thread reader([&] {
      char chunk[65536];
      for (ssize_t n; (n = ::read(fds_[0], chunk, sizeof chunk)) > 0;) all.append(chunk, static_cast<std::size_t>(n));
    });
    writer_.reset();  // writes what is queued
    ::close(fds_[1]);
    reader.join();
    ::close(fds_[0]);
    fds_[0] = -1;
    std::vector<std::string> lines;
    for (std::size_t start = all.find("first\n"), end; start != std::string::npos; start = end + 1) {
      end = all.find('\n', start);
      if (end == std::string::npos) break;
      lines.push_back(all.substr(start, end - start));
    }
    return lines;
  }

 private:
  int fds_[2] = {-1, -1};
  std::unique_ptr<LineWriter> writer_;
};

TEST(LineWriter, InputPastTheByteBoundIsDroppedAndRequiredLinesNeverAre) {
  StalledWriter stalled;
  const std::string input(100 * 1024, 'i');
  std::size_t accepted = 0;
  for (int i = 0; i < 40; ++i) accepted += stalled.writer().emit(input, LineKind::Droppable);
  EXPECT_GT(accepted, 0u);
  EXPECT_LE(accepted * input.size(), LineWriter::kMaxQueuedBytes);
  EXPECT_TRUE(stalled.writer().emit("required"));
  const auto lines = stalled.lines();
  ASSERT_EQ(lines.size(), accepted + 2);
  EXPECT_EQ(lines[1], input);
  EXPECT_EQ(lines.back(), "required");
}

TEST(LineWriter, RepeatedNoticesFoldIntoOneLineWithTheirCount) {
  StalledWriter stalled;
  for (int i = 0; i < 5; ++i) stalled.writer().emit("wrong code", LineKind::Repeated);
  stalled.writer().emit("other", LineKind::Repeated);
  EXPECT_EQ(stalled.lines(), (std::vector<std::string>{"first", "wrong code (5 times)", "other"}));
}

}  // namespace
}  // namespace qova::agent
