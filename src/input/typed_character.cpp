#include "input/typed_character.h"

namespace qova {

namespace {

// The length a lead byte announces and the bits it carries; 0 for a byte no sequence starts with.
int sequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if ((lead & 0xE0) == 0xC0) return 2;
  if ((lead & 0xF0) == 0xE0) return 3;
  if ((lead & 0xF8) == 0xF0) return 4;
  return 0;
}

bool printable(char32_t c) {
  return c >= 0x20 && c != 0x7F && !(c >= 0x80 && c < 0xA0) && !(c >= 0xD800 && c < 0xE000) && c <= 0x10FFFF;
}

}  // namespace

std::optional<char32_t> typedCharacter(std::string_view text) {
  if (text.empty()) return std::nullopt;
  const auto lead = static_cast<unsigned char>(text[0]);
  const int length = sequenceLength(lead);
  if (length == 0 || text.size() != static_cast<size_t>(length)) return std::nullopt;
  char32_t c = length == 1 ? lead : lead & (0x7F >> length);
  for (int i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[i]);
    if ((next & 0xC0) != 0x80) return std::nullopt;
    c = (c << 6) | (next & 0x3F);
  }
  // The shortest encoding only: a longer one is how filters are slipped past.
  static constexpr char32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kSmallest[length]) return std::nullopt;
  return printable(c) ? std::optional(c) : std::nullopt;
}

}  // namespace qova
