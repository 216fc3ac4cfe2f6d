// A scriptable stand-in for the agent program, used only by tests through the real launch path.
//
// QOVA_TEST_AGENT_SCRIPT names a file of commands, one a line, run in order for any arguments:
//   write <text>   one write to standard output (\n is a line feed)
//   error <text>   the same on standard error
//   exit <status>  hang (until killed)  ignore-term (from then on)
//   ignore-stdin   standard input is never read, so it fills up
//   close-stdin    standard input is closed from the start
// Then it reads its input until end of input and exits 0; at once for --show-id, never when it
// does not read its input.
// QOVA_TEST_AGENT_RECORD names a folder for pid.txt ("<pid> <parent pid>"), argv.txt and env.txt
// (one entry a line) and stdin.bin (everything read, appended as it arrives).
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

namespace {

std::atomic<bool> inputEnded{false};

void readInput(const std::string& recordDir) {
  std::ofstream record(recordDir + "/stdin.bin", std::ios::binary | std::ios::app);
  char buffer[65536];
  for (ssize_t n; (n = ::read(0, buffer, sizeof buffer)) > 0;) record.write(buffer, n).flush();
  inputEnded = true;
}

std::string variable(const char* name, const char* otherwise) {
  const char* value = std::getenv(name);
  return value ? value : otherwise;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string recordDir = variable("QOVA_TEST_AGENT_RECORD", "/dev/null");  // /dev/null: nothing recorded
  std::ofstream(recordDir + "/pid.txt") << getpid() << ' ' << getppid() << '\n';
  {
    std::ofstream args(recordDir + "/argv.txt"), env(recordDir + "/env.txt");
    for (int i = 1; i < argc; ++i) args << argv[i] << '\n';
    for (char** e = environ; *e; ++e) env << *e << '\n';
  }
  std::vector<std::string> script;
  std::ifstream in(variable("QOVA_TEST_AGENT_SCRIPT", ""));
  for (std::string line; std::getline(in, line);) script.push_back(line);

  // A descriptor closed while another thread is blocked reading it stays open underneath until that
  // read returns, so an agent that closes its input does so before anyone reads it.
  const bool closesInput = std::count(script.begin(), script.end(), "close-stdin") > 0;
  const bool reads = !closesInput && std::count(script.begin(), script.end(), "ignore-stdin") == 0;
  if (closesInput) ::close(0);
  if (reads) std::thread(readInput, recordDir).detach();

  for (const auto& line : script) {
    const std::string command = line.substr(0, line.find(' '));
    const std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "write" || command == "error") {
      const std::string bytes = std::regex_replace(rest, std::regex(R"(\\n)"), "\n");
      for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(command == "write" ? 1 : 2, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
      }
    } else if (command == "exit") {
      std::_Exit(std::stoi(rest));
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
