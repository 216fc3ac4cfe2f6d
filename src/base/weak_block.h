#pragma once

#include <memory>
#include <utility>

namespace qova {

// Wraps `fn` so that it runs with a strong reference to `owner` only if the owner still exists when
// the block runs; otherwise the block does nothing. Every block that runs later or elsewhere is
// built this way, so nothing outlives the controller's usefulness.
template <class Owner, class Fn>
auto weakBlock(const std::shared_ptr<Owner>& owner, Fn fn) {
  return [weak = std::weak_ptr<Owner>(owner), fn = std::move(fn)](auto&&... args) mutable {
    if (auto strong = weak.lock()) fn(*strong, std::forward<decltype(args)>(args)...);
  };
}

}  // namespace qova
