#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace qova {

// The names text goes by on a clipboard, in the order a reader prefers them: those that say UTF-8
// first. Our text is offered under all of them, and read under the first the owner offers.
inline constexpr const char* kTextMimeTypes[] = {"text/plain;charset=utf-8", "UTF8_STRING", "text/plain", "TEXT",
                                                 "STRING"};
// The first of kTextMimeTypes that `offers` says yes to; nullptr when none.
const char* preferredTextType(const std::function<bool(std::string_view)>& offers);
bool isTextType(std::string_view type);

// Reads what a clipboard owner writes to `fd` until it closes its end, and closes `fd`. Nullopt when
// more than `maxBytes` come or the owner has not finished within `timeout`. Blocks the calling thread.
std::optional<std::string> readClipboardPipe(int fd, size_t maxBytes, std::chrono::milliseconds timeout);
// Writes all of `text` to a paste target's `fd` and closes it, giving up after `timeout`, so a target
// that never reads holds the calling thread no longer. Blocks the calling thread; true when all went.
bool writeClipboardPipe(int fd, std::string_view text, std::chrono::milliseconds timeout);

// Who watches a clipboard for text, shared by the thread that learns of new owners and the readers it
// starts: a reader's text is told only if no newer owner came meanwhile, one call at a time.
class ClipboardWatch {
 public:
  // An empty `changed` stops the watching.
  void set(std::function<void(std::string)> changed, size_t maxBytes);
  bool active() const;
  // A new owner came: reads its text from `fd` on a thread of its own, closing `fd`, and tells it.
  // Closes `fd` at once while nobody watches.
  static void read(const std::shared_ptr<ClipboardWatch>& watch, int fd, std::chrono::milliseconds timeout);

 private:
  mutable std::mutex mutex_;
  std::function<void(std::string)> changed_;
  size_t maxBytes_ = 0;
  uint64_t newest_ = 0;  // the owner read last
};

}  // namespace qova
