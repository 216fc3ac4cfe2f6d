#include "agent/device_identity.h"

#include <vector>

#include "base/utf8.h"

namespace qova {
namespace {

// Decodes one code point at `pos` of valid UTF-8 and advances `pos`.
char32_t nextCodePoint(std::string_view text, size_t& pos) {
  const auto byte = static_cast<unsigned char>(text[pos]);
  int length = byte < 0x80 ? 1 : byte < 0xE0 ? 2 : byte < 0xF0 ? 3 : 4;
  char32_t value = length == 1 ? byte : length == 2 ? (byte & 0x1F) : length == 3 ? (byte & 0x0F) : (byte & 0x07);
  for (int i = 1; i < length && pos + i < text.size(); ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[pos + i]) & 0x3F);
  }
  pos += length;
  return value;
}

bool isNewline(char32_t c) { return (c >= 0x0A && c <= 0x0D) || c == 0x85 || c == 0x2028 || c == 0x2029; }

// Unicode space separators (category Zs) and the tab.
bool isSpaceOrTab(char32_t c) {
  return c == 0x09 || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::vector<std::string_view> splitLines(std::string_view text) {
  std::vector<std::string_view> lines;
  size_t start = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t at = pos;
    if (isNewline(nextCodePoint(text, pos))) {
      lines.push_back(text.substr(start, at - start));
      start = pos;
    }
  }
  lines.push_back(text.substr(start));
  return lines;
}

std::string removeAll(std::string_view line, std::string_view prefix) {
  std::string result;
  size_t pos = 0;
  for (;;) {
    const size_t found = line.find(prefix, pos);
    if (found == std::string_view::npos) break;
    result.append(line.substr(pos, found - pos));
    pos = found + prefix.size();
  }
  result.append(line.substr(pos));
  return result;
}

std::string trimSpaces(std::string_view text) {
  size_t begin = 0;
  size_t end = text.size();
  // Leading: decode forwards.
  for (size_t pos = 0; pos < text.size();) {
    if (!isSpaceOrTab(nextCodePoint(text, pos))) break;
    begin = pos;
  }
  // Trailing: walk code point starts from the end.
  while (end > begin) {
    size_t start = end - 1;
    while (start > begin && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80) --start;
    size_t pos = start;
    if (!isSpaceOrTab(nextCodePoint(text, pos))) break;
    end = start;
  }
  return std::string(text.substr(begin, end - begin));
}

}  // namespace

DeviceIdentity parseDeviceIdentity(std::string_view text) {
  DeviceIdentity identity;
  if (!isValidUtf8(text)) return identity;
  const std::pair<std::string_view, std::optional<std::string> DeviceIdentity::*> prefixes[] = {
      {kDeviceIdPrefix, &DeviceIdentity::deviceId},
      {kAccessCodePrefix, &DeviceIdentity::accessCode},
      {kServerPrefix, &DeviceIdentity::server},
  };
  for (const auto line : splitLines(text)) {
    for (const auto& [prefix, field] : prefixes) {
      if (line.substr(0, prefix.size()) == prefix) {
        identity.*field = trimSpaces(removeAll(line, prefix));
        break;
      }
    }
  }
  return identity;
}

}  // namespace qova
