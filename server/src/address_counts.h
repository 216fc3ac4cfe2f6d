#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>

namespace qova::server {

// Counts by key (an address, a device ID) whose entries go when they reach zero, so addresses seen
// once leave nothing behind.
using Counts = std::unordered_map<std::string, std::size_t>;

inline void countUp(Counts& counts, const std::string& key) { ++counts[key]; }

inline void countDown(Counts& counts, const std::string& key) {
  const auto found = counts.find(key);
  if (found != counts.end() && --found->second == 0) counts.erase(found);
}

inline std::size_t countOf(const Counts& counts, const std::string& key) {
  const auto found = counts.find(key);
  return found == counts.end() ? 0 : found->second;
}

}  // namespace qova::server
