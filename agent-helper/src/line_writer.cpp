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

bool LineWriter::emit(std::string line, LineKind kind) {
  for (auto& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  {
    std::lock_guard lock(mutex_);
    if (kind == LineKind::Repeated) {
      for (auto& entry : queue_) {
        if (entry.kind == kind && entry.text == line) {
          ++entry.count;
          return true;
        }
      }
    }
    if (kind == LineKind::Droppable) {
      if (droppableQueued_ >= kMaxQueuedInputLines || bytesQueued_ + line.size() > kMaxQueuedBytes) return false;
      ++droppableQueued_;
    }
    bytesQueued_ += line.size();
    queue_.push_back({std::move(line), kind, 1});
  }
  wake_.notify_one();
  return true;
}

void LineWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    auto entry = std::move(queue_.front());
    queue_.pop_front();
    if (entry.kind == LineKind::Droppable) --droppableQueued_;
    bytesQueued_ -= entry.text.size();
    lock.unlock();
    if (entry.count > 1) entry.text += " (" + std::to_string(entry.count) + " times)";
    entry.text += '\n';
    writeAll(fd_, entry.text);
    if (copyFd_ >= 0) writeAll(copyFd_, entry.text);
    lock.lock();
  }
}

}  // namespace qova::agent
