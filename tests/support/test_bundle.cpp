#include "support/test_bundle.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qova::test {

namespace fs = std::filesystem;

TestBundle::TestBundle() {
  std::string pattern = (fs::temp_directory_path() / "qova-test-XXXXXX").string();
  root_ = mkdtemp(pattern.data());
  bundle_ = root_ + "/QOVA Lumaro Agent.app";
  record_ = root_ + "/record";
  fs::create_directories(bundle_ + "/Contents/Resources/agent-bin");
  fs::create_directories(record_);
  fs::copy_file(QOVA_TEST_AGENT_PATH, bundle_ + "/Contents/Resources/agent-bin/qova-agent-helper");
  setenv("QOVA_TEST_AGENT_RECORD", record_.c_str(), 1);
  setScript({});
}

TestBundle::~TestBundle() {
  unsetenv("QOVA_TEST_AGENT_RECORD");
  unsetenv("QOVA_TEST_AGENT_SCRIPT");
  std::error_code ignored;
  fs::remove_all(root_, ignored);
}

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

}  // namespace qova::test
