#include "support/test_bundle.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include "platform/linux/posix/posix_process_launcher.h"

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

// Shared with the reader thread, which may outlive us.
struct XvfbServer::Server {
  std::mutex mutex;
  std::string output;
  std::shared_ptr<ChildProcess> process;
};

XvfbServer::XvfbServer(int width, int height, int depth, const std::string& display)
    : screen_(std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(depth)) {
  if (const char* current = std::getenv("DISPLAY")) previousDisplay_ = current;
  if (start(display)) setenv("DISPLAY", display_.c_str(), 1);
}

bool XvfbServer::start(const std::string& display) {
  server_ = std::make_shared<Server>();
  std::vector<std::string> arguments = {"Xvfb",      "-displayfd", "1",        "-screen",    "0",    screen_,
                                        "-nolisten", "tcp",        "-noreset", "+extension", "RANDR"};
  if (!display.empty()) arguments.push_back(display);
  PosixProcessLauncher launcher;
  // It prints the display number it took on -displayfd once it is ready; env finds it on PATH.
  auto child = launcher.launch({"/usr/bin/env", arguments}, launcher.environment(),
                               {[server = server_](std::string_view chunk) {
                                  std::lock_guard lock(server->mutex);
                                  server->output.append(chunk);
                                },
                                {}});
  if (!child) return false;
  server_->process = child->process;
  std::string number;
  waitUntil(
      [&] {
        std::lock_guard lock(server_->mutex);
        std::smatch found;
        if (std::regex_search(server_->output, found, std::regex("(^|\n)([0-9]+)\n"))) number = found[2];
        return !number.empty() || !server_->process->isRunning();
      },
      std::chrono::seconds(10));
  if (number.empty()) stop();
  display_ = number.empty() ? display_ : ":" + number;
  return !number.empty();
}

bool XvfbServer::running() const { return server_ && server_->process && server_->process->isRunning(); }

void XvfbServer::stop() {
  if (!server_ || !server_->process) return;
  server_->process->terminate(std::chrono::seconds(5));
  waitUntil([&] { return !server_->process->isRunning(); }, std::chrono::seconds(10));
  server_->process.reset();
}

XvfbServer::~XvfbServer() {
  stop();
  previousDisplay_ ? setenv("DISPLAY", previousDisplay_->c_str(), 1) : unsetenv("DISPLAY");
}

}  // namespace qova::test
