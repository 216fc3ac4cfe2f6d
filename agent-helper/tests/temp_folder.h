#pragma once

#include <stdlib.h>

#include <filesystem>
#include <string>

// A private folder under the system's temporary folder, removed with everything in it.
struct TempFolder {
  std::string pattern = (std::filesystem::temp_directory_path() / "qova-agent-test-XXXXXX").string();
  std::filesystem::path folder = ::mkdtemp(pattern.data());
  ~TempFolder() { std::filesystem::remove_all(folder); }
  const std::filesystem::path& path() const { return folder; }
};
