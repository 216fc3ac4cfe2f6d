#include "permissions/permission_requests.h"

#include <cctype>

namespace qova {

std::string privacySettingsScript(std::string_view anchor) {
  std::string script = "tell application \"System Settings\"\n  activate\n  reveal anchor \"";
  script += anchor;
  script += "\" of pane id \"com.apple.preference.security\"\nend tell";
  return script;
}

bool isValidURL(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  const auto isAlpha = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; };
  const auto isAlnum = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; };
  if (!isAlpha(text[0])) return false;
  for (size_t i = 1; i < colon; ++i) {
    const char c = text[i];
    if (!isAlnum(c) && c != '+' && c != '-' && c != '.') return false;
  }
  constexpr std::string_view kAllowed = "-._~:/?#[]@!$&'()*+,;=";
  for (size_t i = colon + 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%') {
      if (i + 2 >= text.size() || !std::isxdigit(static_cast<unsigned char>(text[i + 1])) ||
          !std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
        return false;
      }
      i += 2;
    } else if (!isAlnum(c) && kAllowed.find(c) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

}  // namespace qova
