#include "platform/linux/clipboard_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace qova {

std::optional<std::string> readClipboardPipe(int fd, size_t maxBytes, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
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
    if (errno != EAGAIN && errno != EINTR) break;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd readable{fd, POLLIN, 0};
    if (left <= 0 || poll(&readable, 1, static_cast<int>(left)) <= 0) break;
  }
  close(fd);
  return result;
}

}  // namespace qova
