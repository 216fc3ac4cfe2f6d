#include "input/input_command.h"

#include <array>
#include <utility>

#include <nlohmann/json.hpp>

#include "input/input_values.h"

namespace qova {

namespace {

using Json = nlohmann::json;

constexpr std::array<std::pair<std::string_view, InputAction>, 13> kActionTable = {{
    {"tap", InputAction::tap},
    {"doubleTap", InputAction::doubleTap},
    {"rightClick", InputAction::rightClick},
    {"swipe", InputAction::swipe},
    {"homeSwipe", InputAction::homeSwipe},
    {"dragStart", InputAction::dragStart},
    {"dragMove", InputAction::dragMove},
    {"dragEnd", InputAction::dragEnd},
    {"scroll", InputAction::scroll},
    {"back", InputAction::back},
    {"home", InputAction::home},
    {"key", InputAction::key},
    {"text", InputAction::text},
}};

const Json* member(const Json& object, const char* name) {
  const auto it = object.find(name);
  return it == object.end() ? nullptr : &*it;
}

// A member that should be text but holds anything else counts as missing.
std::string stringMember(const Json& object, const char* name) {
  const Json* value = member(object, name);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

std::vector<std::string> stringListMember(const Json& object, const char* name) {
  const Json* value = member(object, name);
  if (!value || !value->is_array()) return {};
  std::vector<std::string> list;
  list.reserve(value->size());
  for (const Json& element : *value) {
    // One element of another type makes the whole list unusable.
    if (!element.is_string()) return {};
    list.push_back(element.get<std::string>());
  }
  return list;
}

}  // namespace

std::optional<InputAction> inputActionNamed(std::string_view name) {
  for (const auto& [actionName, action] : kActionTable) {
    if (actionName == name) return action;
  }
  return std::nullopt;
}

std::optional<InputCommand> decodeInputCommand(std::string_view payload) {
  // JSON has no place for a raw NUL, but the parser would take one as the end of its input and
  // accept whatever came before it.
  if (payload.find('\0') != std::string_view::npos) return std::nullopt;
  // No exceptions: a malformed line is simply not a command.
  const Json root = Json::parse(payload.begin(), payload.end(), nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return std::nullopt;
  InputCommand command;
  command.action = stringMember(root, "action");
  command.x = doubleValue(member(root, "x"));
  command.y = doubleValue(member(root, "y"));
  command.x2 = doubleValue(member(root, "x2"));
  command.y2 = doubleValue(member(root, "y2"));
  command.durationMs = doubleValue(member(root, "durationMs"));
  command.button = stringMember(root, "button") == "right" ? MouseButton::right : MouseButton::left;
  command.deltaY = intValue(member(root, "deltaY"));
  command.key = stringMember(root, "key");
  command.modifiers = stringListMember(root, "modifiers");
  command.character = stringMember(root, "char");
  command.text = stringMember(root, "text");
  return command;
}

InputCommand movedBy(InputCommand command, double dx, double dy) {
  command.x += dx;
  command.y += dy;
  command.x2 += dx;
  command.y2 += dy;
  return command;
}

}  // namespace qova
