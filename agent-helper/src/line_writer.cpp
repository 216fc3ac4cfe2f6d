#include "line_writer.h"

#include <unistd.h>

#include <algorithm>
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

bool LineWriter::emit(std::string line, LineKind kind, std::string detail) {
  for (auto* text : {&line, &detail}) {
    for (auto& c : *text) {
      if (c == '\n' || c == '\r') c = ' ';
    }
  }
  detail.resize(std::min(detail.size(), kMaxDetailBytes));
  {
    std::lock_guard lock(mutex_);
    if (kind == LineKind::Repeated) {
      if (const auto found = notices_.find(line); found != notices_.end()) {
        auto& entry = *found->second;
        ++entry.count;
        bytesQueued_ = bytesQueued_ - entry.detail.size() + detail.size();
        entry.detail = std::move(detail);
        return true;
      }
    }
    const auto bytes = line.size() + detail.size();
    if (kind != LineKind::Required) {
      const auto limit = kind == LineKind::Droppable ? kMaxQueuedInputLines : kMaxQueuedNotices;
      const auto queued = kind == LineKind::Droppable ? droppableQueued_ : notices_.size();
      if (queued >= limit || bytesQueued_ + bytes > kMaxQueuedBytes) return false;
    }
    if (kind == LineKind::Droppable) ++droppableQueued_;
    bytesQueued_ += bytes;
    auto& entry = queue_.emplace_back(Entry{std::move(line), kind, 1, std::move(detail)});
    if (kind == LineKind::Repeated) notices_.emplace(entry.text, &entry);
  }
  wake_.notify_one();
  return true;
}

void LineWriter::run() {
  std::unique_lock lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
    if (queue_.empty()) return;
    if (queue_.front().kind == LineKind::Repeated) notices_.erase(queue_.front().text);
    auto entry = std::move(queue_.front());
    queue_.pop_front();
    if (entry.kind == LineKind::Droppable) --droppableQueued_;
    bytesQueued_ -= entry.text.size() + entry.detail.size();
    lock.unlock();
    if (entry.count > 1 || !entry.detail.empty()) {
      const auto times = entry.count > 1 ? std::to_string(entry.count) + " times" : "";
      const auto separator = times.empty() || entry.detail.empty() ? "" : ", the last ";
      entry.text += " (" + times + separator + entry.detail + ")";
    }
    entry.text += '\n';
    writeAll(fd_, entry.text);
    if (copyFd_ >= 0) writeAll(copyFd_, entry.text);
    lock.lock();
  }
}

}  // namespace qova::agent
