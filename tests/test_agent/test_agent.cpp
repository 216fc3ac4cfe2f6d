// A scriptable stand-in for the agent program, run by tests through the real launch path.
// QOVA_TEST_AGENT_SCRIPT names a file of commands, one a line, run in order:
//   write <text> / error <text>   one write to standard output / error (\n is a line feed)
//   exit <status>   hang (until killed)   ignore-term (from then on)   sleep <milliseconds>
//   ignore-stdin (never read, so it fills up)   close-stdin (closed from the start)
// Then it reads its input until its end and exits 0; at once for --show-id; never if it does not read.
// QOVA_TEST_AGENT_RECORD names a folder for pid.txt ("<pid> <parent pid>"), argv.txt and env.txt (one
// entry a line) and stdin.bin (everything read, appended as it arrives).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

std::atomic<bool> inputEnded{false};

int main(int argc, char** argv) {
  const char* record = std::getenv("QOVA_TEST_AGENT_RECORD");
  const std::string recordDir = record ? record : "/dev/null";  // /dev/null: nothing recorded
  std::ofstream(recordDir + "/pid.txt") << getpid() << ' ' << getppid() << '\n';
  {
    std::ofstream args(recordDir + "/argv.txt"), env(recordDir + "/env.txt");
    for (int i = 1; i < argc; ++i) args << argv[i] << '\n';
    for (char** e = environ; *e; ++e) env << *e << '\n';
  }
  std::vector<std::string> script;
  const char* scriptPath = std::getenv("QOVA_TEST_AGENT_SCRIPT");
  std::ifstream in(scriptPath ? scriptPath : "");
  for (std::string line; std::getline(in, line);) script.push_back(line);

  // A descriptor closed while another thread is blocked reading it stays open underneath until that
  // read returns, so an agent that closes its input does so before anyone reads it.
  const bool closesInput = std::count(script.begin(), script.end(), "close-stdin") > 0;
  const bool reads = !closesInput && std::count(script.begin(), script.end(), "ignore-stdin") == 0;
  if (closesInput) ::close(0);
  if (reads) {
    std::thread([recordDir] {
      std::ofstream out(recordDir + "/stdin.bin", std::ios::binary | std::ios::app);
      char buffer[65536];
      for (ssize_t n; (n = ::read(0, buffer, sizeof buffer)) > 0;) out.write(buffer, n).flush();
      inputEnded = true;
    }).detach();
  }
  for (const auto& line : script) {
    const std::string command = line.substr(0, line.find(' '));
    const std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "write" || command == "error") {
      const std::string bytes = std::regex_replace(rest, std::regex(R"(\\n)"), "\n");
      [[maybe_unused]] const ssize_t n = ::write(command == "write" ? 1 : 2, bytes.data(), bytes.size());
    } else if (command == "exit") {
      std::_Exit(std::stoi(rest));
    } else if (command == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stoi(rest)));
    } else if (command == "hang") {
      for (;;) pause();
    } else if (command == "ignore-term") {
      signal(SIGTERM, SIG_IGN);
    }
  }
  if (std::find(argv + 1, argv + argc, std::string("--show-id")) != argv + argc) return 0;
  while (!inputEnded || !reads) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
