#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>

namespace qova::agent {

enum class LineKind {
  Required,   // the application must see it: capture, received files, status
  Droppable,  // input commands: dropped when too much waits already
  Repeated,   // a notice anyone may cause often: folded into a waiting one of the same text, with a count
};

// Writes whole lines to a file descriptor (our standard output, which the application reads) from
// one thread of its own, so a slow reader never stalls the network thread. Lines keep their order,
// except that a repeated notice joins the waiting one. What waits is bounded: input commands and
// notices of different texts by number and bytes (more are dropped), repeats of a notice by folding;
// the other lines come from our own events, which are few. Callable from any thread.
class LineWriter {
 public:
  static constexpr std::size_t kMaxQueuedInputLines = 2000;
  static constexpr std::size_t kMaxQueuedNotices = 200;
  // Room for several of the largest text commands, far from the hundreds of megabytes a viewer
  // could otherwise park here while the application reads slowly.
  static constexpr std::size_t kMaxQueuedBytes = 1u << 20;
  static constexpr std::size_t kMaxDetailBytes = 128;

  // `copyFd`, when given, receives every line as well (a log for people and tests); not owned.
  explicit LineWriter(int fd, int copyFd = -1);
  ~LineWriter();  // writes what is queued, then stops
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues `line` (a line feed inside it becomes a space) and a line feed. False when dropped.
  // `detail` (a repeated notice's only) is written in brackets after the line but does not keep
  // repeats apart: a folded notice shows the newest one ("... (3 times, the last from 10.0.0.7)").
  bool emit(std::string line, LineKind kind = LineKind::Required, std::string detail = {});

 private:
  struct Entry {
    std::string text;
    LineKind kind;
    unsigned count;
    std::string detail;
  };
  void run();

  int fd_;
  int copyFd_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Entry> queue_;  // ends only: an entry stays where it is while it waits
  // The waiting notices by text, so a repeat finds its own in one step however many wait.
  std::unordered_map<std::string_view, Entry*> notices_;
  std::size_t droppableQueued_ = 0;
  std::size_t bytesQueued_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace qova::agent
