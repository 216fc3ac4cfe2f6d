#include "capture/capture_command.h"

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova {

namespace {

using Json = nlohmann::json;

// The member `name` of `object` when it is an integer within [low, high], else nullopt.
std::optional<int64_t> integerIn(const Json& object, const char* name, int64_t low, int64_t high) {
  const auto found = object.find(name);
  if (found == object.end() || !found->is_number_integer()) return std::nullopt;
  // Unsigned values above INT64_MAX come back negative from get<int64_t>; they are out of range anyway.
  if (found->is_number_unsigned() && found->get<uint64_t>() > static_cast<uint64_t>(high)) return std::nullopt;
  const auto value = found->get<int64_t>();
  if (value < low || value > high) return std::nullopt;
  return value;
}

std::optional<PictureRequest> decodePicture(const Json& command) {
  const auto found = command.find("picture");
  if (found == command.end() || !found->is_object()) return std::nullopt;
  if (!integerIn(*found, "version", 1, INT64_MAX)) return std::nullopt;
  PictureRequest picture;
  picture.fps = static_cast<int>(integerIn(*found, "fps", 1, 30).value_or(picture.fps));
  const auto maxSide = integerIn(*found, "maxSide", 0, 16384);
  if (maxSide && (*maxSide == 0 || *maxSide >= 16)) picture.maxSide = static_cast<int>(*maxSide);
  const auto cursor = found->find("cursor");
  if (cursor != found->end() && cursor->is_boolean()) picture.cursor = cursor->get<bool>();
  const auto copy = found->find("copy");
  if (copy != found->end() && copy->is_boolean()) picture.copy = copy->get<bool>();
  return picture;
}

}  // namespace

CaptureCommand decodeCaptureCommand(std::string_view command) {
  // JSON has no place for a raw NUL, and the parser would take one as the end of its input, leaving
  // what follows unread: such a line is dropped, as an input command with one is.
  if (command.find('\0') != std::string_view::npos) return {};
  // No exceptions: text that is not JSON (including bytes that are not UTF-8) comes back discarded.
  const auto parsed = Json::parse(command, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object()) return {};
  const auto action = parsed.find("action");
  if (action == parsed.end() || !action->is_string()) return {};
  const auto& text = action->get_ref<const std::string&>();
  const auto display = integerIn(parsed, "display", 0, UINT32_MAX);
  const auto chosen = display ? std::optional<uint32_t>(static_cast<uint32_t>(*display)) : std::nullopt;
  if (text == "start") return {CaptureAction::start, decodePicture(parsed), 0, chosen};
  if (text == "stop") return {CaptureAction::stop, std::nullopt, 0};
  if (text == "refresh") return {CaptureAction::refresh, std::nullopt, 0};
  if (text != "tune") return {};
  const auto quality = parsed.find("quality");
  const bool hasQuality = quality != parsed.end() && quality->is_number();
  const double value = hasQuality ? quality->get<double>() : 0;
  if (hasQuality && !(value >= 0.1 && value <= 0.95)) return {};
  if (!hasQuality && !chosen) return {};
  return {CaptureAction::tune, std::nullopt, value, chosen};
}

std::string displayListLine(const std::vector<CaptureDisplay>& displays, uint32_t mainDisplayId, uint32_t current) {
  Json listed = Json::array();
  for (const auto& d : displays) {
    if (listed.size() == kMaxListedDisplays) break;
    listed.push_back({{"id", d.displayId},
                      {"name", d.name.substr(0, kMaxDisplayNameBytes)},
                      {"width", d.width},
                      {"height", d.height},
                      {"x", d.x},
                      {"y", d.y},
                      {"main", d.displayId == mainDisplayId}});
  }
  // A name cut inside a character, or one the system gave in another encoding, is replaced, not thrown.
  return std::string(kDisplaysMarker) + Json{{"version", 1}, {"current", current}, {"displays", listed}}.dump(
                                            -1, ' ', false, Json::error_handler_t::replace) +
         '\n';
}

std::string pictureAnswerLine(const PictureRequest& accepted) {
  Json object = {
      {"version", 1}, {"tile", 32}, {"fps", accepted.fps}, {"maxSide", accepted.maxSide}, {"cursor", accepted.cursor}};
  // Named only to an agent that asked, whose answer is then the only one to differ.
  if (accepted.copy) object["copy"] = true;
  return std::string(kPictureMarker) + object.dump() + '\n';
}

}  // namespace qova
