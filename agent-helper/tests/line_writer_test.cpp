#include "line_writer.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace qova::agent {
namespace {

// A line writer whose first line is more than its pipe holds, so that what follows waits, as with an
// application that does not read. lines() lets it drain and returns what came after that line.
class StalledWriter {
 public:
  StalledWriter() : writer_(std::make_unique<LineWriter>(pipeInput())) { writer_->emit(std::string(256 * 1024, 'b')); }
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
    std::vector<std::string> lines;
    std::istringstream in(all.substr(all.find('\n') + 1));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  int pipeInput() {
    if (::pipe(fds_) != 0) std::abort();
    return fds_[1];
  }

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
  ASSERT_EQ(lines.size(), accepted + 1);
  EXPECT_EQ(lines.front(), input);
  EXPECT_EQ(lines.back(), "required");
}

TEST(LineWriter, RepeatedNoticesFoldIntoOneLineWithTheirCount) {
  StalledWriter stalled;
  for (int i = 0; i < 5; ++i) stalled.writer().emit("wrong code", LineKind::Repeated);
  stalled.writer().emit("other", LineKind::Repeated);
  EXPECT_EQ(stalled.lines(), (std::vector<std::string>{"wrong code (5 times)", "other"}));
}

}  // namespace
}  // namespace qova::agent
