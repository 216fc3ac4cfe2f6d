#include "line_writer.h"

#include <unistd.h>

#include <cerrno>

namespace qova::agent {

LineWriter::LineWriter(int fd) : fd_(fd), thread_([this] { run(); }) {}

LineWriter::~LineWriter() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_one();
  thread_.join();
}

bool LineWriter::emit(std::string line, bool droppable) {
  for (auto& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line += '\n';
  {
    std::lock_guard lock(mutex_);
    if (droppable) {
      if (droppableQueued_ >= kMaxQueuedInputLines) return false;
      ++droppableQueued_;
    }
    queue_.emplace_back(std::move(line), droppable);
  }
  wake_.notify_one();
  return true;
}

void LineWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    auto [line, droppable] = std::move(queue_.front());
    queue_.pop_front();
    if (droppable) --droppableQueued_;
    lock.unlock();
    std::string_view rest = line;
    while (!rest.empty()) {
      const auto n = ::write(fd_, rest.data(), rest.size());
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // the reader is gone; the line is lost like any later one
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    lock.lock();
  }
}

}  // namespace qova::agent
