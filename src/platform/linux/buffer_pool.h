#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace qova {

// Reuses pixel memory once every sample holding it is done with it.
class BufferPool : public std::enable_shared_from_this<BufferPool> {
 public:
  std::shared_ptr<std::vector<uint8_t>> take(size_t bytes) {
    std::unique_ptr<std::vector<uint8_t>> buffer;
    {
      std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        buffer = std::move(free_.back());
        free_.pop_back();
      }
    }
    if (!buffer) buffer = std::make_unique<std::vector<uint8_t>>();
    buffer->resize(bytes);
    return {buffer.release(), [weak = weak_from_this()](std::vector<uint8_t>* returned) {
              if (auto pool = weak.lock()) {
                std::lock_guard lock(pool->mutex_);
                pool->free_.emplace_back(returned);
              } else {
                delete returned;
              }
            }};
  }

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<std::vector<uint8_t>>> free_;
};

}  // namespace qova
