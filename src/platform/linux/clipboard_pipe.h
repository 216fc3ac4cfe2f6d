#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

namespace qova {

// Reads what a clipboard owner writes to `fd` until it closes its end, and closes `fd`. Nullopt when
// more than `maxBytes` come or the owner has not finished within `timeout`. Blocks the calling thread.
std::optional<std::string> readClipboardPipe(int fd, size_t maxBytes, std::chrono::milliseconds timeout);

}  // namespace qova
