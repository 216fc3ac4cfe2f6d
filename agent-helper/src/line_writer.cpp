#include "line_writer.h"

#include <unistd.h>

#include <cerrno>
#include <string_view>

namespace qova::agent {

LineWriter::LineWriter(int fd, int copyFd) : fd_(fd), copyFd_(copyFd), thread_([this] { run(); }) {}

namespace {
void writeAll(int fd, std::string_view rest) {
  while (!rest.empty()) {
    const auto n = ::write(fd, rest.data(), rest.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // the reader is gone; the line is lost like any later one
    rest.remove_prefix(static_cast<std::size_t>(n));
  }
}
}  // namespace

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
    writeAll(fd_, line);
    if (copyFd_ >= 0) writeAll(copyFd_, line);
    lock.lock();
  }
}

}  // namespace qova::agent
