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
  bundle_ = root_ + "/QOVA Lumaro Agent.app";
  record_ = root_ + "/record";
  fs::create_directories(fs::path(agentPath()).parent_path());
  fs::create_directories(record_);
  fs::copy_file(QOVA_TEST_AGENT_PATH, agentPath());
  setenv("QOVA_TEST_AGENT_RECORD", record_.c_str(), 1);
  setScript({});
}

TestBundle::~TestBundle() {
  unsetenv("QOVA_TEST_AGENT_RECORD");
  unsetenv("QOVA_TEST_AGENT_SCRIPT");
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

std::string TestBundle::agentPath() const { return bundle_ + "/Contents/Resources/agent-bin/qova-agent-helper"; }

void TestBundle::setScript(const std::vector<std::string>& lines) {
  const std::string path = root_ + "/script.txt";
  std::ofstream out(path, std::ios::trunc);
  for (const auto& line : lines) out << line << '\n';
  setenv("QOVA_TEST_AGENT_SCRIPT", path.c_str(), 1);
}

std::string TestBundle::readRecord(const std::string& name) const {
  std::ifstream in(record_ + "/" + name, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

std::vector<std::string> TestBundle::recordLines(const std::string& name) const {
  std::vector<std::string> lines;
  std::istringstream in(readRecord(name));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void TestBundle::removeRecord(const std::string& name) const { fs::remove(record_ + "/" + name); }

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout,
               const std::function<void()>& step) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    if (step) {
      step();
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  return done();
}

}  // namespace qova::test
