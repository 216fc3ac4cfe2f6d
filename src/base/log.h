#pragma once

#include <string>
#include <string_view>

namespace qova {

enum class LogLevel { debug, info, warning, error };

struct LogSettings {
  // Empty: stderr only. Otherwise also this file, kept below a fixed size by rotation.
  std::string filePath;
  bool verbose = false;  // debug lines too
};

// Called once by the entry point before other threads start; without it lines go to stderr at
// info level, which is what tests and tools get.
void configureLog(const LogSettings& settings);

// Where the application keeps its log: $XDG_STATE_HOME/qova-lumaro-agent/host.log, or
// <home>/.local/state/qova-lumaro-agent/host.log. Empty when neither is known.
std::string defaultLogFilePath(const char* stateHome, const char* home);

// One named logger per module. Any thread. A line is written whole and at once, so a degradation is
// logged once where it happens, never from a loop.
class Log {
 public:
  explicit constexpr Log(std::string_view module) : module_(module) {}

  void debug(std::string_view text) const { write(LogLevel::debug, text); }
  void info(std::string_view text) const { write(LogLevel::info, text); }
  void warning(std::string_view text) const { write(LogLevel::warning, text); }
  void error(std::string_view text) const { write(LogLevel::error, text); }
  void write(LogLevel level, std::string_view text) const;

 private:
  std::string_view module_;
};

}  // namespace qova
