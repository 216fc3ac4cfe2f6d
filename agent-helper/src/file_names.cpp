#include "file_names.h"

#include <cstdint>
#include <utility>

namespace qova::agent {

namespace {

constexpr std::string_view kFallbackName = "file";

// Unicode's format characters (category Cf, as of Unicode 15): invisible, yet they change how a
// name reads; U+202E turns "invoice\u202Etxt.exe" into what looks like "invoiceexe.txt".
constexpr std::pair<std::uint32_t, std::uint32_t> kFormatCharacters[] = {
    {0xAD, 0xAD},       {0x600, 0x605},     {0x61C, 0x61C},     {0x6DD, 0x6DD},     {0x70F, 0x70F},
    {0x890, 0x891},     {0x8E2, 0x8E2},     {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool isFormatCharacter(std::uint32_t cp) {
  for (const auto& [first, last] : kFormatCharacters) {
    if (cp >= first && cp <= last) return true;
  }
  return false;
}

// Length of the valid UTF-8 sequence at the start of `s`, or 0 when it is not one; `cp` gets its
// code point.
std::size_t utf8SequenceLength(std::string_view s, std::uint32_t& cp) {
  const auto b0 = static_cast<std::uint8_t>(s[0]);
  std::size_t length = 0;
  std::uint32_t min = 0;
  cp = b0;
  if (b0 < 0x80) return 1;
  if ((b0 & 0xE0) == 0xC0) {
    length = 2, min = 0x80, cp = b0 & 0x1F;
  } else if ((b0 & 0xF0) == 0xE0) {
    length = 3, min = 0x800, cp = b0 & 0x0F;
  } else if ((b0 & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, cp = b0 & 0x07;
  } else {
    return 0;
  }
  if (s.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    const auto b = static_cast<std::uint8_t>(s[i]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  // C1 control characters and the line and paragraph separators would break one-line output.
  if ((cp >= 0x80 && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029) return 0;
  return length;
}

bool isTrimmed(char c) { return c == ' ' || c == '.'; }

// Cuts `s` to at most `limit` bytes without splitting a UTF-8 sequence.
std::string_view cutUtf8(std::string_view s, std::size_t limit) {
  if (s.size() <= limit) return s;
  std::size_t end = limit;
  while (end > 0 && (static_cast<std::uint8_t>(s[end]) & 0xC0) == 0x80) --end;
  return s.substr(0, end);
}

}  // namespace

std::string sanitizeFileName(std::string_view name) {
  // Both separators count: a browser on another system may send "C:\dir\name".
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string_view::npos) name.remove_prefix(slash + 1);

  std::string clean;
  clean.reserve(name.size());
  while (!name.empty()) {
    std::uint32_t cp = 0;
    const auto length = utf8SequenceLength(name, cp);
    if (length == 0) {
      clean += '_';
      name.remove_prefix(1);
      continue;
    }
    if (cp >= 0x20 && cp != 0x7F && !isFormatCharacter(cp)) clean.append(name.substr(0, length));
    name.remove_prefix(length);
  }

  // Leading dots and spaces hide the file or make it ".."; trailing ones are dropped for symmetry.
  std::size_t begin = 0;
  while (begin < clean.size() && isTrimmed(clean[begin])) ++begin;
  std::size_t end = clean.size();
  while (end > begin && isTrimmed(clean[end - 1])) --end;
  std::string_view trimmed(clean.data() + begin, end - begin);
  if (trimmed.empty()) return std::string(kFallbackName);

  if (trimmed.size() <= kMaxStoredNameBytes) return std::string(trimmed);
  // Too long: keep the extension when it is short, cut the stem.
  const auto dot = trimmed.rfind('.');
  std::string_view extension;
  if (dot != std::string_view::npos && trimmed.size() - dot <= 16) extension = trimmed.substr(dot);
  const auto stem = cutUtf8(trimmed.substr(0, trimmed.size() - extension.size()),
                            kMaxStoredNameBytes - extension.size());
  return std::string(stem) + std::string(extension);
}

std::string numberedFileName(std::string_view safeName, unsigned n) {
  if (n == 0) return std::string(safeName);
  const auto dot = safeName.rfind('.');
  const auto split = (dot == std::string_view::npos || dot == 0) ? safeName.size() : dot;
  std::string result(safeName.substr(0, split));
  result += " (" + std::to_string(n) + ")";
  result.append(safeName.substr(split));
  return result;
}

}  // namespace qova::agent

namespace qova::agent {

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::string> percentDecode(std::string_view text) {
  const auto hex = hexDigitValue;
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return std::nullopt;
    const int high = hex(text[i + 1]);
    const int low = hex(text[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

}  // namespace qova::agent
