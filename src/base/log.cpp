#include "base/log.h"

#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/sinks/stdout_sinks.h>
#include <spdlog/spdlog.h>

#include <filesystem>
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

std::mutex gLock;
std::vector<spdlog::sink_ptr> gSinks;
spdlog::level::level_enum gLevel = spdlog::level::info;

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

// Loggers are made on first use, so a module's name costs nothing until it says something.
std::shared_ptr<spdlog::logger> loggerFor(std::string_view module) {
  const std::string name(module);
  if (auto existing = spdlog::get(name)) return existing;
  std::lock_guard lock(gLock);
  if (auto existing = spdlog::get(name)) return existing;
  if (gSinks.empty()) gSinks = defaultSinks();
  auto logger = std::make_shared<spdlog::logger>(name, gSinks.begin(), gSinks.end());
  logger->set_pattern(kPattern);
  logger->set_level(gLevel);
  logger->flush_on(spdlog::level::debug);
  spdlog::register_logger(logger);
  return logger;
}

}  // namespace

void configureLog(const LogSettings& settings) {
  std::lock_guard lock(gLock);
  gSinks = defaultSinks();
  gLevel = settings.verbose ? spdlog::level::debug : spdlog::level::info;
  std::string fileError;
  if (!settings.filePath.empty()) {
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(settings.filePath).parent_path(), error);
    try {
      gSinks.push_back(
          std::make_shared<spdlog::sinks::rotating_file_sink_mt>(settings.filePath, kLogFileBytes, kLogFiles));
    } catch (const spdlog::spdlog_ex& failure) {
      fileError = failure.what();
    }
  }
  spdlog::drop_all();
  if (!fileError.empty()) {
    auto logger = std::make_shared<spdlog::logger>("log", gSinks.begin(), gSinks.end());
    logger->set_pattern(kPattern);
    logger->warn("cannot write the log file {}: {}; logging to stderr only", settings.filePath, fileError);
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
