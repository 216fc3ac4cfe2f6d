#include "input/key_names.h"

#include <array>
#include <utility>

namespace qova {

namespace {

constexpr std::array<std::pair<std::string_view, uint16_t>, 57> kKeyNames = {{
    {"a", 0},      {"b", 11},     {"c", 8},      {"d", 2},        {"e", 14},      {"f", 3},
    {"g", 5},      {"h", 4},      {"i", 34},     {"j", 38},       {"k", 40},      {"l", 37},
    {"m", 46},     {"n", 45},     {"o", 31},     {"p", 35},       {"q", 12},      {"r", 15},
    {"s", 1},      {"t", 17},     {"u", 32},     {"v", 9},        {"w", 13},      {"x", 7},
    {"y", 16},     {"z", 6},      {"0", 29},     {"1", 18},       {"2", 19},      {"3", 20},
    {"4", 21},     {"5", 23},     {"6", 22},     {"7", 26},       {"8", 28},      {"9", 25},
    {"=", 24},     {"-", 27},     {"]", 30},     {"[", 33},       {"'", 39},      {";", 41},
    {"\\", 42},    {",", 43},     {"/", 44},     {".", 47},       {"enter", 36},  {"return", 36},
    {"tab", 48},   {"space", 49}, {"delete", 51}, {"backspace", 51}, {"escape", 53}, {"left", 123},
    {"right", 124}, {"down", 125}, {"up", 126},
}};

constexpr std::array<std::pair<std::string_view, ModifierFlags>, 8> kModifierNames = {{
    {"command", kModifierCommand},
    {"cmd", kModifierCommand},
    {"meta", kModifierCommand},
    {"ctrl", kModifierControl},
    {"control", kModifierControl},
    {"alt", kModifierAlternate},
    {"option", kModifierAlternate},
    {"shift", kModifierShift},
}};

// Full Unicode lowercasing can only ever produce one of the table's ASCII names from ASCII
// capitals, or from U+212A KELVIN SIGN, whose lowercase is the letter k; every other non-ASCII
// character stays non-ASCII and can match nothing, so it is left as it is.
std::string lowercased(std::string_view name) {
  static constexpr std::string_view kKelvinSign = "\xE2\x84\xAA";
  std::string result;
  result.reserve(name.size());
  for (size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    if (c >= 'A' && c <= 'Z') {
      result.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (name.substr(i, kKelvinSign.size()) == kKelvinSign) {
      result.push_back('k');
      i += kKelvinSign.size() - 1;
    } else {
      result.push_back(c);
    }
  }
  return result;
}

}  // namespace

std::optional<uint16_t> keyCode(std::string_view name) {
  // No entry is longer than "backspace"; longer names cannot match and are not worth lowercasing.
  if (name.size() > 3 * 9) return std::nullopt;
  const std::string lower = lowercased(name);
  for (const auto& [keyName, code] : kKeyNames) {
    if (keyName == lower) return code;
  }
  return std::nullopt;
}

ModifierFlags modifierFlags(const std::vector<std::string>& names) {
  ModifierFlags flags = 0;
  for (const std::string& name : names) {
    if (name.size() > 3 * 7) continue;
    const std::string lower = lowercased(name);
    for (const auto& [modifierName, flag] : kModifierNames) {
      if (modifierName == lower) flags |= flag;
    }
  }
  return flags;
}

}  // namespace qova
