#include "platform/linux/clipboard_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

namespace qova {

namespace {

using Clock = std::chrono::steady_clock;

// Waits until `fd` is ready for `events` or the deadline passes.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  pollfd ready{fd, events, 0};
  return left > 0 && poll(&ready, 1, static_cast<int>(left)) > 0;
}

}  // namespace

const char* preferredTextType(const std::function<bool(std::string_view)>& offers) {
  for (const char* type : kTextMimeTypes) {
    if (offers(type)) return type;
  }
  return nullptr;
}

bool isTextType(std::string_view type) {
  return preferredTextType([type](std::string_view known) { return known == type; }) != nullptr;
}

std::optional<std::string> readClipboardPipe(int fd, size_t maxBytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  std::string text;
  char buffer[65536];
  std::optional<std::string> result;
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n == 0) {
      result = std::move(text);
      break;
    }
    if (n > 0) {
      if (text.size() + static_cast<size_t>(n) > maxBytes) break;
      text.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if ((errno != EAGAIN && errno != EINTR) || !waitFor(fd, POLLIN, deadline)) break;
  }
  close(fd);
  return result;
}

bool writeClipboardPipe(int fd, std::string_view text, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
  size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = write(fd, text.data() + written, text.size() - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if ((n < 0 && errno != EAGAIN && errno != EINTR) || !waitFor(fd, POLLOUT, deadline)) break;
  }
  close(fd);
  return written == text.size();
}

void ClipboardWatch::set(std::function<void(std::string)> changed, size_t maxBytes) {
  std::lock_guard lock(mutex_);
  changed_ = std::move(changed);
  maxBytes_ = maxBytes;
}

bool ClipboardWatch::active() const {
  std::lock_guard lock(mutex_);
  return static_cast<bool>(changed_);
}

void ClipboardWatch::read(const std::shared_ptr<ClipboardWatch>& watch, int fd, std::chrono::milliseconds timeout) {
  uint64_t number = 0;
  size_t maxBytes = 0;
  {
    std::lock_guard lock(watch->mutex_);
    if (!watch->changed_) return static_cast<void>(close(fd));
    number = ++watch->newest_;
    maxBytes = watch->maxBytes_;
  }
  std::thread([watch, fd, number, maxBytes, timeout] {
    auto text = readClipboardPipe(fd, maxBytes, timeout);
    std::lock_guard lock(watch->mutex_);
    if (text && !text->empty() && watch->changed_ && watch->newest_ == number) watch->changed_(std::move(*text));
  }).detach();
}

}  // namespace qova
