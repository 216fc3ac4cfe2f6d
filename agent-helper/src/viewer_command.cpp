#include "viewer_command.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <string_view>

#include <nlohmann/json.hpp>

#include "agent/agent_contract.h"

namespace qova::agent {

namespace {

using nlohmann::json;

constexpr std::array<std::string_view, 4> kModifierNames = {"command", "ctrl", "alt", "shift"};
constexpr std::array<std::string_view, 10> kActions = {"tap",       "doubleTap", "rightClick", "swipe", "dragStart",
                                                      "dragMove",  "dragEnd",   "scroll",     "key",   "text"};

std::optional<double> finiteNumber(const json& event, const char* key) {
  const auto it = event.find(key);
  if (it == event.end() || !it->is_number()) return std::nullopt;
  const auto value = it->get<double>();
  if (!std::isfinite(value)) return std::nullopt;
  return value;
}

// Positions are kept on the display; one decimal is plenty for points. Before the first frame the
// display's size is unknown, and a position could mean anywhere: none is passed on.
std::optional<double> coordinate(const json& event, const char* key, int extent) {
  const auto value = finiteNumber(event, key);
  if (!value || extent <= 0) return std::nullopt;
  return std::round(std::clamp(*value, 0.0, static_cast<double>(extent - 1)) * 10.0) / 10.0;
}

bool addPoint(const json& event, json& command, const InputSpace& space, const char* xKey, const char* yKey) {
  const auto x = coordinate(event, xKey, space.width);
  const auto y = coordinate(event, yKey, space.height);
  if (!x || !y) return false;
  command[xKey] = *x;
  command[yKey] = *y;
  return true;
}

void addButton(const json& event, json& command) {
  const auto it = event.find("button");
  command["button"] = (it != event.end() && it->is_string() && *it == "right") ? "right" : "left";
}

}  // namespace

std::optional<std::string> inputCommandLine(const json& event, const InputSpace& space) {
  if (!event.is_object()) return std::nullopt;
  const auto actionIt = event.find("action");
  if (actionIt == event.end() || !actionIt->is_string()) return std::nullopt;
  const auto action = actionIt->get<std::string>();
  if (std::find(kActions.begin(), kActions.end(), action) == kActions.end()) return std::nullopt;

  json command = {{"action", action}};
  if (action == "tap" || action == "doubleTap" || action == "dragStart") {
    if (!addPoint(event, command, space, "x", "y")) return std::nullopt;
    addButton(event, command);
  } else if (action == "rightClick" || action == "dragMove" || action == "dragEnd") {
    if (!addPoint(event, command, space, "x", "y")) return std::nullopt;
  } else if (action == "swipe") {
    if (!addPoint(event, command, space, "x", "y") || !addPoint(event, command, space, "x2", "y2")) return std::nullopt;
    const auto duration = finiteNumber(event, "durationMs");
    command["durationMs"] = std::clamp(duration.value_or(300.0), 0.0, 5000.0);
    addButton(event, command);
  } else if (action == "scroll") {
    const auto delta = finiteNumber(event, "deltaY");
    if (!delta) return std::nullopt;
    const auto lines = static_cast<long>(std::clamp(std::trunc(*delta), -10.0, 10.0));
    if (lines == 0) return std::nullopt;
    command["deltaY"] = lines;
  } else if (action == "key") {
    const auto key = event.find("key");
    if (key == event.end() || !key->is_string() || key->get_ref<const std::string&>().empty() ||
        key->get_ref<const std::string&>().size() > 16) {
      return std::nullopt;
    }
    command["key"] = *key;
    json modifiers = json::array();
    if (const auto list = event.find("modifiers"); list != event.end() && list->is_array()) {
      for (const auto& name : *list) {
        if (!name.is_string()) return std::nullopt;
        const auto& text = name.get_ref<const std::string&>();
        if (std::find(kModifierNames.begin(), kModifierNames.end(), text) == kModifierNames.end()) continue;
        if (std::find(modifiers.begin(), modifiers.end(), name) == modifiers.end()) modifiers.push_back(name);
      }
    }
    command["modifiers"] = std::move(modifiers);
    // What the key produced on the viewer's layout: one character is at most four bytes of UTF-8
    // (the parser has checked the encoding). An application that does not know it keys on "key".
    if (const auto produced = event.find("char"); produced != event.end() && produced->is_string()) {
      const auto& text = produced->get_ref<const std::string&>();
      if (!text.empty() && text.size() <= 4) command["char"] = text;
    }
  } else if (action == "text") {
    const auto text = event.find("text");
    if (text == event.end() || !text->is_string()) return std::nullopt;
    const auto& value = text->get_ref<const std::string&>();
    if (value.empty() || value.size() > kMaxTextBytes) return std::nullopt;
    command["text"] = value;
  }
  // All-ASCII output: control characters are escaped, so the command stays one line, and no
  // multi-byte character can be cut where the application's reads happen to split the pipe.
  // Invalid UTF-8 from a viewer is replaced rather than passed on.
  return std::string(kInputMarker) + command.dump(-1, ' ', true, json::error_handler_t::replace);
}

}  // namespace qova::agent
