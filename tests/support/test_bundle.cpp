#include "support/test_bundle.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qova::test {

namespace fs = std::filesystem;

TestBundle::TestBundle() {
  std::string pattern = (fs::temp_directory_path() / "qova-test-XXXXXX").string();
  root_ = mkdtemp(pattern.data());
  fs::create_directories(fs::path(agentPath()).parent_path());
  fs::create_directories(root_ + "/record");
  fs::copy_file(QOVA_TEST_AGENT_PATH, agentPath());
  setenv("QOVA_TEST_AGENT_RECORD", (root_ + "/record").c_str(), 1);
  setScript({});
}

TestBundle::~TestBundle() {
  unsetenv("QOVA_TEST_AGENT_RECORD");
  unsetenv("QOVA_TEST_AGENT_SCRIPT");
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

void TestBundle::setScript(const std::vector<std::string>& lines) {
  std::ofstream out(root_ + "/script.txt", std::ios::trunc);
  for (const auto& line : lines) out << line << '\n';
  setenv("QOVA_TEST_AGENT_SCRIPT", (root_ + "/script.txt").c_str(), 1);
}

std::string TestBundle::readRecord(const std::string& name) const {
  std::ostringstream all;
  all << std::ifstream(root_ + "/record/" + name, std::ios::binary).rdbuf();
  return all.str();
}

std::vector<std::string> TestBundle::recordLines(const std::string& name) const {
  std::vector<std::string> lines;
  std::istringstream in(readRecord(name));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::function<void()>& step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    step ? step() : std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

}  // namespace qova::test
