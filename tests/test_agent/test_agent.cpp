// A scriptable stand-in for the agent program, used only by tests through the real launch path.
//
// Environment:
//   QOVA_TEST_AGENT_SCRIPT  file with one command per line (run in order, for any arguments):
//     write <text>          writes <text> in one write; \n \r \t \\ and \xHH are unescaped
//     chunked <n> <text>    writes <text> (unescaped) in writes of n bytes
//     repeat <count> <text> writes <text> (unescaped) count times, in one buffer
//     sleep <ms>
//     exit <status>         ends now with that status
//     hang                  sleeps until killed
//     ignore-stdin          stops reading standard input (it fills up)
//     close-stdin           standard input is closed from the start (wherever the command stands)
//     ignore-term           ignores SIGTERM from now on
//     wait-stdin <n>        waits until n bytes of standard input have been read
//   When the script ends the agent keeps reading its input until end of input, then exits 0.
//   QOVA_TEST_AGENT_RECORD  folder: argv.txt (one argument a line), env.txt (one entry a line),
//                           stdin.bin (everything read, appended as it arrives), pid.txt.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

std::atomic<bool> readStdin{true};
std::atomic<long> stdinBytes{0};
std::atomic<bool> inputEnded{false};
std::atomic<bool> stayAfterInputEnds{false};
std::string recordDir;

std::string unescape(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 >= text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 'n') out += '\n';
    else if (c == 'r') out += '\r';
    else if (c == 't') out += '\t';
    else if (c == 'x' && i + 2 < text.size() + 1) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

void writeAll(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(1, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

void readInput() {
  std::ofstream record;
  if (!recordDir.empty()) record.open(recordDir + "/stdin.bin", std::ios::binary | std::ios::app);
  char buffer[65536];
  for (;;) {
    if (!readStdin) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      continue;
    }
    const ssize_t n = ::read(0, buffer, sizeof buffer);
    if (n <= 0) {
      inputEnded = true;
      return;
    }
    if (record.is_open()) {
      record.write(buffer, n);
      record.flush();
    }
    stdinBytes += n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (const char* dir = std::getenv("QOVA_TEST_AGENT_RECORD")) recordDir = dir;
  if (!recordDir.empty()) {
    std::ofstream args(recordDir + "/argv.txt");
    for (int i = 1; i < argc; ++i) args << argv[i] << '\n';
    std::ofstream env(recordDir + "/env.txt");
    for (char** e = environ; *e; ++e) env << *e << '\n';
    std::ofstream(recordDir + "/pid.txt") << getpid() << '\n';
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
    stayAfterInputEnds = true;
    ::close(0);
  } else {
    std::thread(readInput).detach();
  }

  for (const auto& line : script) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    std::string rest;
    std::getline(words, rest);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
    if (command == "write") {
      writeAll(unescape(rest));
    } else if (command == "chunked") {
      const size_t space = rest.find(' ');
      const size_t size = std::stoul(rest.substr(0, space));
      const std::string text = unescape(rest.substr(space + 1));
      for (size_t i = 0; i < text.size(); i += size) {
        writeAll(text.substr(i, size));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    } else if (command == "repeat") {
      const size_t space = rest.find(' ');
      const long count = std::stol(rest.substr(0, space));
      const std::string text = unescape(rest.substr(space + 1));
      std::string all;
      for (long i = 0; i < count; ++i) all += text;
      writeAll(all);
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
    } else if (command == "wait-stdin") {
      const long want = std::stol(rest);
      while (stdinBytes < want) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  // Service mode keeps reading its input; the identity query ends here.
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--show-id") return 0;
  }
  while (!inputEnded || stayAfterInputEnds) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return 0;
}
