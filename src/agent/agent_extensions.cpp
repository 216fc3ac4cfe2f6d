#include "agent/agent_extensions.h"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"
#include "base/utf8.h"

namespace qova {

namespace {
constexpr size_t kMaxJoinedBytes = 120;

std::string markerLine(std::string_view marker, const nlohmann::json& object) {
  std::string line(marker);
  // Replacement keeps a line whatever text a peer put in it: it never throws and stays one line.
  line += object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  line += '\n';
  return line;
}
}  // namespace

std::optional<std::string> helloAnswerLine(std::string_view hello, std::span<const std::string_view> known) {
  const auto object = nlohmann::json::parse(hello, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const auto want = object.find("want");
  if (want == object.end() || !want->is_array()) return std::nullopt;
  nlohmann::json accepted = nlohmann::json::array();
  for (const auto extension : known) {
    if (std::find(want->begin(), want->end(), std::string(extension)) != want->end()) accepted.push_back(extension);
  }
  return markerLine(kHelloMarker, {{"version", 1}, {"accepted", accepted}});
}

bool helloAnswerGrants(std::string_view answerLine, std::string_view extension) {
  if (!answerLine.starts_with(kHelloMarker)) return false;
  const auto object = nlohmann::json::parse(answerLine.substr(kHelloMarker.size()), nullptr, false);
  if (!object.is_object() || !object.contains("accepted") || !object["accepted"].is_array()) return false;
  const auto& accepted = object["accepted"];
  return std::find(accepted.begin(), accepted.end(), std::string(extension)) != accepted.end();
}

std::optional<ViewersReport> decodeViewersReport(std::string_view payload) {
  const auto object = nlohmann::json::parse(payload, nullptr, false);
  if (!object.is_object()) return std::nullopt;
  const auto count = object.find("count");
  if (count == object.end() || !count->is_number_integer()) return std::nullopt;
  ViewersReport report;
  report.count = count->get<int64_t>();
  if (report.count < 0 || report.count > 100000) return std::nullopt;
  if (const auto joined = object.find("joined"); joined != object.end()) {
    if (!joined->is_string()) return std::nullopt;
    report.joined = joined->get<std::string>().substr(0, kMaxJoinedBytes);
  }
  return report;
}

std::string endAllViewersLine() { return markerLine(kViewersMarker, {{"action", "endAll"}}); }

std::optional<std::string> clipboardLine(std::string_view text) {
  if (text.empty() || text.size() > kMaxClipboardBytes || !isValidUtf8(text)) return std::nullopt;
  return markerLine(kClipboardMarker, {{"text", text}});
}

}  // namespace qova
