#include "bridge/agent_output_buffer.h"

#include "base/utf8.h"

namespace qova {

void AgentOutputBuffer::deliverLine(std::string_view line, const std::function<void(std::string_view)>& onLine) const {
  if (line.size() > maxLineBytes_ || !isValidUtf8(line)) return;
  onLine(line);
}

void AgentOutputBuffer::append(std::string_view chunk, const std::function<void(std::string_view)>& onLine) {
  while (!chunk.empty()) {
    const size_t newline = chunk.find('\n');
    if (newline == std::string_view::npos) {
      if (skippingLongLine_) return;
      if (pending_.size() + chunk.size() > maxLineBytes_) {
        pending_.clear();
        pending_.shrink_to_fit();
        skippingLongLine_ = true;
        return;
      }
      pending_.append(chunk);
      return;
    }
    const std::string_view head = chunk.substr(0, newline);
    chunk.remove_prefix(newline + 1);
    if (skippingLongLine_) {
      skippingLongLine_ = false;
      continue;
    }
    if (pending_.empty()) {
      // Lines that arrive whole are handed over from the chunk itself, without a copy.
      deliverLine(head, onLine);
    } else {
      if (pending_.size() + head.size() <= maxLineBytes_) {
        pending_.append(head);
        deliverLine(pending_, onLine);
      }
      pending_.clear();
    }
  }
}

}  // namespace qova
