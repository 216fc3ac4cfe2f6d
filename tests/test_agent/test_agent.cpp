// A scriptable stand-in for the agent program, used only by tests through the real launch path.
//
// QOVA_TEST_AGENT_SCRIPT names a file of commands, one a line, run in order for any arguments:
//   write <text>     one write to standard output; \n \r \t \\ and \xHH are unescaped
//   error <text>     the same on standard error
//   sleep <ms>       exit <status>       hang (until killed)
//   ignore-stdin     stops reading standard input (it fills up)
//   close-stdin      standard input is closed from the start, wherever the command stands
//   ignore-term      ignores SIGTERM from then on
// Then it reads its input until end of input and exits 0 (--show-id exits at once).
// QOVA_TEST_AGENT_RECORD names a folder for pid.txt ("<pid> <parent pid>"), argv.txt and env.txt
// (one entry a line) and stdin.bin (everything read, appended as it arrives).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::atomic<bool> readStdin{true};
std::atomic<bool> inputEnded{false};

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'x') {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
    }
  }
  return out;
}

void writeAll(int fd, const std::string& bytes) {
  for (size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void readInput(const std::string& recordDir) {
  std::ofstream record;
  if (!recordDir.empty()) record.open(recordDir + "/stdin.bin", std::ios::binary | std::ios::app);
  char buffer[65536];
  for (;;) {
    if (!readStdin) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) break;
    if (record.is_open()) record.write(buffer, n).flush();
  }
  inputEnded = true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string recordDir = std::getenv("QOVA_TEST_AGENT_RECORD") ? std::getenv("QOVA_TEST_AGENT_RECORD") : "";
  if (!recordDir.empty()) {
    std::ofstream(recordDir + "/pid.txt") << getpid() << ' ' << getppid() << '\n';
    std::ofstream args(recordDir + "/argv.txt");
    for (int i = 1; i < argc; ++i) args << argv[i] << '\n';
    std::ofstream env(recordDir + "/env.txt");
    for (char** e = environ; *e; ++e) env << *e << '\n';
  }
  std::vector<std::string> script;
  if (const char* path = std::getenv("QOVA_TEST_AGENT_SCRIPT")) {
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) script.push_back(line);
  }

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
    std::istringstream words(line);
    std::string command, rest;
    words >> command;
    std::getline(words, rest);
    if (!rest.empty()) rest.erase(0, 1);  // the space after the command
    if (command == "write" || command == "error") {
      writeAll(command == "write" ? 1 : 2, unescape(rest));
    } else if (command == "sleep") {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::stol(rest)));
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
  // An agent whose input was closed stays until it is ended from outside.
  while (!inputEnded || closesInput) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
