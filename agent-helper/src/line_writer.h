#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace qova::agent {

// Writes whole lines to a file descriptor (our standard output, which the application reads) from
// one thread of its own, so a slow reader never stalls the network thread. Lines keep their order.
// Input commands are dropped when too many wait, commands the application must see (capture,
// received files, status) never are. Callable from any thread.
class LineWriter {
 public:
  static constexpr std::size_t kMaxQueuedInputLines = 2000;

  // `copyFd`, when given, receives every line as well (a log for people and tests); not owned.
  explicit LineWriter(int fd, int copyFd = -1);
  ~LineWriter();  // writes what is queued, then stops
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues `line` (a line feed inside it becomes a space) and a line feed. False when dropped.
  bool emit(std::string line, bool droppable = false);

 private:
  void run();

  int fd_;
  int copyFd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::pair<std::string, bool>> queue_;
  std::size_t droppableQueued_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qova::agent
