// A scriptable stand-in for the agent program, used only by tests through the real launch path.
//
// QOVA_TEST_AGENT_SCRIPT names a file of commands, one a line, run in order for any arguments:
//   write <text>   one write to standard output (\n is a line feed)
//   error <text>   the same on standard error
//   exit <status>  hang (until killed)  ignore-term (from then on)
//   ignore-stdin   stops reading standard input, so it fills up
//   close-stdin    standard input is closed from the start, wherever the command stands
// Then it reads its input until end of input and exits 0 (at once for --show-id); with its input
// closed it stays until ended from outside.
// QOVA_TEST_AGENT_RECORD names a folder for pid.txt ("<pid> <parent pid>"), argv.txt and env.txt
// (one entry a line) and stdin.bin (everything read, appended as it arrives).
#include <signal.h>
#include <unistd.h>

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

std::atomic<bool> readStdin{true};
std::atomic<bool> inputEnded{false};

void writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void readInput(const std::string& recordDir) {
  std::ofstream record(recordDir + "/stdin.bin", std::ios::binary | std::ios::app);
  char buffer[65536];
  for (;;) {
    if (!readStdin) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) break;
    record.write(buffer, n).flush();
  }
  inputEnded = true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* record = std::getenv("QOVA_TEST_AGENT_RECORD");
  const std::string recordDir = record ? record : "/dev/null/";
  std::ofstream(recordDir + "/pid.txt") << getpid() << ' ' << getppid() << '\n';
  std::ofstream args(recordDir + "/argv.txt"), env(recordDir + "/env.txt");
  for (int i = 1; i < argc; ++i) args << argv[i] << '\n';
  for (char** e = environ; *e; ++e) env << *e << '\n';
  args.close();
  env.close();

  std::vector<std::string> script;
  std::ifstream in(std::getenv("QOVA_TEST_AGENT_SCRIPT") ? std::getenv("QOVA_TEST_AGENT_SCRIPT") : "");
  for (std::string line; std::getline(in, line);) script.push_back(line);
  // A descriptor closed while another thread is blocked reading it stays open underneath until that
  // read returns, so an agent that closes its input does so before anyone reads it.
  bool closesInput = false;
  for (const auto& line : script) closesInput = closesInput || line == "close-stdin";
  if (closesInput) {
    ::close(0);
  } else {
    std::thread(readInput, recordDir).detach();
  }

  for (const auto& line : script) {
    const std::string command = line.substr(0, line.find(' '));
    const std::string rest = line.size() > command.size() ? line.substr(command.size() + 1) : "";
    if (command == "write" || command == "error") {
      writeAll(command == "write" ? 1 : 2, std::regex_replace(rest, std::regex(R"(\\n)"), "\n"));
    } else if (command == "exit") {
      std::_Exit(std::stoi(rest));
    } else if (command == "hang") {
      for (;;) pause();
    } else if (command == "ignore-stdin") {
      readStdin = false;
    } else if (command == "ignore-term") {
      signal(SIGTERM, SIG_IGN);
    }
  }
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--show-id") return 0;
  }
  while (!inputEnded || closesInput) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
