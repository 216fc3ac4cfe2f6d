#include "base/log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <vector>

namespace qova {

namespace {

// A log that outgrows this is mostly one fault repeated; two older files keep its start.
constexpr size_t kLogFileBytes = 1024 * 1024;
constexpr size_t kLogFiles = 2;
constexpr const char* kPattern = "%Y-%m-%d %H:%M:%S.%e %L [%n] %v";

std::vector<spdlog::sink_ptr> defaultSinks() { return {std::make_shared<spdlog::sinks::stderr_sink_mt>()}; }

spdlog::level::level_enum toSpdlog(LogLevel level) {
  switch (level) {
    case LogLevel::debug:
      return spdlog::level::debug;
    case LogLevel::info:
      return spdlog::level::info;
    case LogLevel::warning:
      return spdlog::level::warn;
    case LogLevel::error:
      return spdlog::level::err;
  }
  return spdlog::level::info;
}

struct LogState {
  std::mutex lock;
  std::vector<spdlog::sink_ptr> sinks = defaultSinks();
  spdlog::level::level_enum level = spdlog::level::info;
  std::map<std::string, std::shared_ptr<spdlog::logger>, std::less<>> loggers;
};

// Never destroyed, and spdlog's own registry is not used: a thread that outlives main (a child's
// waiter reporting how it ended) may still log while the process tears its statics down.
LogState& logState() {
  static LogState* state = new LogState;
  return *state;
}

std::shared_ptr<spdlog::logger> makeLogger(const LogState& state, std::string name) {
  auto logger = std::make_shared<spdlog::logger>(std::move(name), state.sinks.begin(), state.sinks.end());
  logger->set_pattern(kPattern);
  logger->set_level(state.level);
  logger->flush_on(spdlog::level::debug);
  return logger;
}

// Loggers are made on first use, so a module's name costs nothing until it says something.
std::shared_ptr<spdlog::logger> loggerFor(std::string_view module) {
  LogState& state = logState();
  std::lock_guard lock(state.lock);
  if (const auto found = state.loggers.find(module); found != state.loggers.end()) return found->second;
  auto logger = makeLogger(state, std::string(module));
  state.loggers.emplace(std::string(module), logger);
  return logger;
}

}  // namespace

void configureLog(const LogSettings& settings) {
  LogState& state = logState();
  std::vector<spdlog::sink_ptr> sinks = defaultSinks();
  std::string fileError;
  if (!settings.filePath.empty()) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(settings.filePath).parent_path(), error);
    try {
      sinks.push_back(
          std::make_shared<spdlog::sinks::rotating_file_sink_mt>(settings.filePath, kLogFileBytes, kLogFiles));
    } catch (const spdlog::spdlog_ex& failure) {
      fileError = failure.what();
    }
  }
  {
    std::lock_guard lock(state.lock);
    state.sinks = std::move(sinks);
    state.level = settings.verbose ? spdlog::level::debug : spdlog::level::info;
    state.loggers.clear();
  }
  if (!fileError.empty()) {
    Log("log").warning("cannot write the log file " + settings.filePath + ": " + fileError + "; logging to stderr only");
  }
}

std::string defaultLogFilePath(const char* stateHome, const char* home) {
  std::string folder;
  if (stateHome && *stateHome == '/') {
    folder = stateHome;
  } else if (home && *home) {
    folder = std::string(home) + "/.local/state";
  } else {
    return {};
  }
  return folder + "/qova-lumaro-agent/host.log";
}

void Log::write(LogLevel level, std::string_view text) const {
  loggerFor(module_)->log(toSpdlog(level), "{}", text);
}

}  // namespace qova
